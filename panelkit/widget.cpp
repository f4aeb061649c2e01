#include "widget.h"

void Widget::init() {
  handle = nullptr;
  x = 0;
  y = 0;
  width = 0;
  height = 0;
}

void Widget::destroy() {
  if (handle) DestroyWindow(handle);
}

void Widget::show() {
  if (handle) ShowWindow(handle, SW_SHOW);
}

void Widget::hide() {
  if (handle) ShowWindow(handle, SW_HIDE);
}

void Widget::update() {
  if (handle) UpdateWindow(handle);
}

void Widget::move(int newX, int newY) {
  x = newX;
  y = newY;
  if (handle) MoveWindow(handle, x, y, width, height, TRUE);
}

void Widget::resize(int newWidth, int newHeight) {
  width = newWidth;
  height = newHeight;
  if (handle) MoveWindow(handle, x, y, width, height, TRUE);
}
