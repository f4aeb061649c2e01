#include "demo_layout.h"

namespace panelkit {

DemoLayout demoLayout(int clientWidth, int clientHeight) {
  const int w = clientWidth;
  const int halfH = clientHeight / 2;
  const int column = (w - 20) / 2;  // width of the button, and where the right column starts
  const int pageX = column + 45;    // page controls sit inside the tab control's area

  DemoLayout layout;
  layout.edit = {10, 130, w / 2 - 10, halfH - 135};
  layout.button = {10, halfH + 5, column, halfH - 15};
  layout.tabs = {column + 20, halfH + 5, column - 10, halfH - 15};
  layout.pageLabel = {pageX, halfH + 105, 50, 20};
  layout.canvas = {w / 2 + 10, 10, w / 2 - 20, halfH - 15};
  layout.textLabel = {10, 10, 50, 20};
  layout.listBox = {10, 30, w / 2 - 10, 50};
  layout.comboBox = {10, 80, w / 2 - 10, 100};
  layout.ipAddress = {pageX, halfH + 145, 100, 20};
  layout.bitmap = {pageX, halfH + 125, 100, 56};
  return layout;
}

}  // namespace panelkit
