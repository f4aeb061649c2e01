// Where the demo window's controls go for a given client area. Pure arithmetic, so the
// layout can be checked without a window system.
#ifndef PANELKIT_DEMO_LAYOUT_H
#define PANELKIT_DEMO_LAYOUT_H

namespace panelkit {

// A control's rectangle in its parent's client area. Width and height may come out zero or
// negative for a very small client area; they are handed to the system as they are.
struct ControlRect {
  int x;
  int y;
  int width;
  int height;
};

// One rectangle per control of the demo window. The three tab-page labels share one.
struct DemoLayout {
  ControlRect edit;
  ControlRect button;
  ControlRect tabs;
  ControlRect pageLabel;
  ControlRect canvas;
  ControlRect textLabel;
  ControlRect listBox;
  ControlRect comboBox;
  ControlRect ipAddress;
  ControlRect bitmap;
};

// Left column: label, list box, combo box, edit box, button; right column: canvas above the
// tab control, with the page controls inside the tab control's area. Integer divisions
// truncate towards zero, also for a client width below 20.
DemoLayout demoLayout(int clientWidth, int clientHeight);

}  // namespace panelkit

#endif  // PANELKIT_DEMO_LAYOUT_H
