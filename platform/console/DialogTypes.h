// Small types the console's dialog and page models hand to the window layer:
// the message box it is to show, and a control's place in its window.
#pragma once

#include <string>

namespace quor::console {

// Dialog end codes, as the window layer reports its buttons.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// A message box the model asks the window layer to show.
struct Notice {
  enum class Kind { Information, Warning, Error };
  enum class Buttons { Ok, RetryCancel, YesNo };
  Kind kind = Kind::Information;
  Buttons buttons = Buttons::Ok;
  std::string caption;
  std::string text;
};

// A rectangle in pixels relative to the window's top-left corner.
struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

}  // namespace quor::console
