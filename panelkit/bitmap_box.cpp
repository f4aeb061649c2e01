#include "bitmap_box.h"

BitmapBox::BitmapBox(HWND parent, const std::string& fileName, int /*controlId*/, int left, int top,
                     int /*boxWidth*/, int /*boxHeight*/) {
  init();
  image = static_cast<HBITMAP>(
      LoadImageA(nullptr, fileName.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
  if (!image) return;
  // The stored size is still zero here, so the static takes the bitmap's own size.
  handle = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE | SS_BITMAP, left, top, width,
                           height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(1)),
                           nullptr, nullptr);
  if (handle) SendMessageW(handle, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(image));
}

BitmapBox::~BitmapBox() {
  if (image) DeleteObject(image);
  destroy();
}
