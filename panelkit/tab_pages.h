// Which of the demo window's page controls are visible for each selected tab.
#ifndef PANELKIT_TAB_PAGES_H
#define PANELKIT_TAB_PAGES_H

#include <optional>

namespace panelkit {

// Visibility of the five controls that make up the tab pages.
struct PageVisibility {
  bool firstPage;
  bool secondPage;
  bool thirdPage;
  bool ipAddress;
  bool bitmap;
};

// The row for tab 0 ("First"), 1 ("Second") or 2 ("Third"); nothing for any other index,
// so an unknown selection leaves the pages as they are.
std::optional<PageVisibility> pageVisibility(int selectedTab);

}  // namespace panelkit

#endif  // PANELKIT_TAB_PAGES_H
