// SettingsProbe [-d <pathname>] [-h[elp]]: checks the configuration files of
// the service's home directory.
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/SettingsProbe/SettingsProbe.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return quor::tools::RunSettingsProbe(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cout << std::flush;
    std::cerr << "Fatal Error: " << e.what() << '\n';
    return quor::tools::kExitNotRun;
  }
}
