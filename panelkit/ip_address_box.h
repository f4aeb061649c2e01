// An IP-address field of four numbers. The wrapper does not initialise the common controls
// itself; where the class is missing it works with a null handle.
#ifndef PANELKIT_IP_ADDRESS_BOX_H
#define PANELKIT_IP_ADDRESS_BOX_H

#include "widget.h"

class IpAddressBox : public Widget {
 public:
  // The third field accepts only 0; the address starts as 0.0.0.0.
  IpAddressBox(HWND parent, int controlId, int left, int top, int boxWidth, int boxHeight);
  virtual ~IpAddressBox();

  void setAddress(int first, int second, int third, int fourth);

 private:
  int id;
};

#endif  // PANELKIT_IP_ADDRESS_BOX_H
