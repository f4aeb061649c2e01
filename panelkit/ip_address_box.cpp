#include "ip_address_box.h"

#include <commctrl.h>

#include "control_window.h"

IpAddressBox::IpAddressBox(HWND parent, int controlId, int left, int top, int boxWidth,
                           int boxHeight)
    : id(controlId) {
  init();
  handle = createControl(0, WC_IPADDRESSA, "0.0.0.0", WS_CHILD | WS_VISIBLE, left, top, boxWidth,
                         boxHeight, parent, id);
  x = left;
  y = top;
  width = boxWidth;
  height = boxHeight;
  if (handle) SendMessageA(handle, IPM_SETRANGE, 2, MAKEIPRANGE(0, 0));
  setAddress(0, 0, 0, 0);
}

IpAddressBox::~IpAddressBox() {
  destroy();
}

void IpAddressBox::setAddress(int first, int second, int third, int fourth) {
  const LPARAM address = (static_cast<LPARAM>(first) << 24) + (static_cast<LPARAM>(second) << 16) +
                         (static_cast<LPARAM>(third) << 8) + fourth;
  if (handle) SendMessageA(handle, IPM_SETADDRESS, 0, address);
}
