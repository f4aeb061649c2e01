#include "canvas.h"

#include "control_window.h"

Canvas::Canvas(HWND parent, int controlId, int left, int top, int canvasWidth, int canvasHeight)
    : id(controlId) {
  init();
  x = left;
  y = top;
  width = canvasWidth;
  height = canvasHeight;
  handle = createControl(WS_EX_CLIENTEDGE, "CANVAS", "", WS_CHILD | WS_VISIBLE, left, top,
                         canvasWidth, canvasHeight, parent, id);
}

Canvas::~Canvas() {
  // The font is no longer selected anywhere: its device context went with the last paint.
  if (font) DeleteObject(font);
  destroy();
}

void Canvas::paint(HWND window) {
  if (width <= 0 || height <= 0) return;  // a tiny client area leaves no image to draw

  windowDc = GetDC(window);
  if (!windowDc) return;
  memoryDc = CreateCompatibleDC(windowDc);
  HBITMAP image = memoryDc ? CreateBitmap(width, height, 1, 32, nullptr) : nullptr;
  if (image) {
    HGDIOBJ replaced = SelectObject(memoryDc, image);
    draw();
    RECT frame;
    SetRect(&frame, 0, 0, width, height);
    DrawEdge(memoryDc, &frame, EDGE_SUNKEN, BF_RECT);
    BitBlt(windowDc, x, y, width, height, memoryDc, 0, 0, SRCCOPY);
    SelectObject(memoryDc, replaced);
  }
  if (memoryDc) DeleteDC(memoryDc);
  if (image) DeleteObject(image);
  ReleaseDC(window, windowDc);
  memoryDc = nullptr;
  windowDc = nullptr;
}

void Canvas::draw() {
  fill(x, y, x + width, y + height, RGB(0, 0, 0));
}

void Canvas::fill(int left, int top, int right, int bottom, const COLORREF& colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  HGDIOBJ previous = SelectObject(memoryDc, brush);
  RECT area = {left, top, right, bottom};
  FillRect(memoryDc, &area, brush);
  SelectObject(memoryDc, previous);
  DeleteObject(brush);
}

void Canvas::line(int x1, int y1, int x2, int y2, const COLORREF& colour) {
  HPEN pen = CreatePen(PS_SOLID, penWidth, colour);
  HGDIOBJ previous = SelectObject(memoryDc, pen);
  MoveToEx(memoryDc, x1, y1, nullptr);
  LineTo(memoryDc, x2, y2);
  SelectObject(memoryDc, previous);
  DeleteObject(pen);
}

void Canvas::text(int left, int top, const std::string& caption) {
  SetBkMode(memoryDc, TRANSPARENT);
  RECT area = {left, top, 0, 0};
  DrawTextA(memoryDc, caption.c_str(), -1, &area, DT_SINGLELINE | DT_NOCLIP);
}

void Canvas::setBackColor(const COLORREF& colour) {
  backColor = colour;
  SetBkColor(memoryDc, backColor);
}

void Canvas::setTextColor(const COLORREF& colour) {
  textColor = colour;
  SetTextColor(memoryDc, textColor);
}

void Canvas::setFont(const std::string& faceName, int fontWidth, int fontHeight) {
  HFONT created = CreateFontA(fontHeight, fontWidth, 0, 0, 0, FALSE, FALSE, FALSE, ANSI_CHARSET, 0,
                              0, 0, FF_MODERN | DEFAULT_PITCH, faceName.c_str());
  if (!created) return;
  HFONT previous = font;
  font = created;
  SelectObject(memoryDc, font);
  // Selecting the new font has released the previous one from this context, so it can go;
  // without this every paint would leave one font behind.
  if (previous) DeleteObject(previous);
  SetTextColor(memoryDc, textColor);
  SetBkColor(memoryDc, backColor);
}
