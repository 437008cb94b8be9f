// quor-accounts: manages the local account store.
//
//   quor-accounts [--file F] init <domain> <computer> [--iterations N]
//   quor-accounts [--file F] add-user <name> [--full-name X] [--description X]
//   quor-accounts [--file F] set-password <name>
//   quor-accounts [--file F] set-user <name> [--full-name X] [--description X]
//   quor-accounts [--file F] remove-user <name>
//   quor-accounts [--file F] add-group <name> [--description X]
//   quor-accounts [--file F] remove-group <name>
//   quor-accounts [--file F] add-to-group <group> <user or group>
//   quor-accounts [--file F] remove-from-group <group> <user or group>
//   quor-accounts [--file F] verify <name>
//   quor-accounts [--file F] list
//
// Passwords are read from standard input (one line), never from the command
// line, where other users could see them; on a terminal they are asked for
// twice without echo. The file defaults to "$QUOR_REGISTRY.accounts".
// Exit status: 0 done, 1 refused or failed (nothing changed), 2 bad usage.

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/directory/accounts.h"
#include "platform/text/text.h"

using namespace quor;
using quor::dir::AccountStore;

namespace {

constexpr const char* kUsage =
    "usage: quor-accounts [--file F] <command> ...\n"
    "  init <domain> <computer> [--iterations N]\n"
    "  add-user <name> [--full-name X] [--description X]   (password on standard input)\n"
    "  set-password <name>                                 (password on standard input)\n"
    "  set-user <name> [--full-name X] [--description X]\n"
    "  remove-user <name>\n"
    "  add-group <name> [--description X]\n"
    "  remove-group <name>\n"
    "  add-to-group <group> <user or group>\n"
    "  remove-from-group <group> <user or group>\n"
    "  verify <name>                                       (password on standard input)\n"
    "  list\n";

int Usage(const std::string& why) {
  std::cerr << "quor-accounts: " << why << "\n" << kUsage;
  return 2;
}

int Failed(const std::string& why) {
  std::cerr << "quor-accounts: " << why << "\n";
  return 1;
}

// One line; the line end is not part of the password.
bool ReadLine(std::string& out) {
  out.clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') out += static_cast<char>(c);
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return c != EOF || !out.empty();
}

std::optional<std::string> Prompt(const char* question) {
  std::cerr << question << std::flush;
  termios old {};
  const bool tty = ::tcgetattr(STDIN_FILENO, &old) == 0;
  if (tty) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = ReadLine(line);
  if (tty) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::cerr << "\n";
  }
  if (!got) return std::nullopt;
  return line;
}

std::optional<std::string> ReadPassword(bool confirm, std::string& why) {
  if (!::isatty(STDIN_FILENO)) {
    std::string line;
    if (!ReadLine(line) || line.empty()) {
      why = "no password on standard input";
      return std::nullopt;
    }
    return line;
  }
  auto first = Prompt("Password: ");
  if (!first || first->empty()) {
    why = "the password is empty";
    return std::nullopt;
  }
  if (confirm) {
    auto second = Prompt("Repeat the password: ");
    if (!second || *second != *first) {
      why = "the passwords differ";
      return std::nullopt;
    }
  }
  return first;
}

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
};

// Splits the words after the command; `allowed` lists its options.
bool ParseArgs(const std::vector<std::string>& words, const std::vector<std::string>& allowed, Args& out,
               std::string& why) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() > 2 && w.compare(0, 2, "--") == 0) {
      if (std::find(allowed.begin(), allowed.end(), w) == allowed.end()) {
        why = "unknown option " + w;
        return false;
      }
      if (i + 1 >= words.size()) {
        why = w + " needs a value";
        return false;
      }
      if (out.options.count(w)) {
        why = w + " given twice";
        return false;
      }
      out.options[w] = words[++i];
    } else {
      out.positional.push_back(w);
    }
  }
  return true;
}

std::string Option(const Args& args, const std::string& name) {
  auto it = args.options.find(name);
  return it == args.options.end() ? std::string() : it->second;
}

int Update(const std::string& file, const std::function<Status(AccountStore&)>& change, const std::string& done) {
  if (const Status changed = dir::UpdateAccountStore(file, change); !changed.ok()) return Failed(changed.message());
  std::cout << done << "\n";
  return 0;
}

int List(const std::string& file) {
  const Result<AccountStore> loaded = dir::LoadAccountStore(file);
  if (!loaded.ok()) return Failed(loaded.status().message());
  const AccountStore& store = *loaded;
  std::cout << "domain:   " << store.domain << "\n"
            << "computer: " << store.computer << "\n"
            << "users:\n";
  for (const auto& u : store.users) {
    std::cout << "  " << u.name;
    if (!u.fullName.empty()) std::cout << " (" << u.fullName << ")";
    if (!u.description.empty()) std::cout << " - " << u.description;
    if (u.passwordHash.empty()) std::cout << " [no password]";
    std::cout << "\n";
  }
  std::cout << "groups:\n";
  for (const auto& g : store.groups) {
    std::cout << "  " << g.name;
    if (!g.description.empty()) std::cout << " - " << g.description;
    std::cout << "\n";
    for (const auto& m : g.members) std::cout << "    " << m << (store.FindGroup(m) ? " (group)" : "") << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  std::string file;
  size_t at = 0;
  while (at < words.size() && words[at].compare(0, 2, "--") == 0) {
    if (words[at] == "--file" && at + 1 < words.size()) {
      file = words[at + 1];
      at += 2;
    } else if (words[at] == "--help") {
      std::cout << kUsage;
      return 0;
    } else {
      return Usage("unknown option " + words[at]);
    }
  }
  if (at >= words.size()) return Usage("no command");
  const std::string command = words[at];
  const std::vector<std::string> rest(words.begin() + static_cast<long>(at) + 1, words.end());
  if (file.empty()) file = dir::DefaultAccountStorePath();

  struct CommandShape {
    size_t count;
    std::vector<std::string> options;
  };
  static const std::map<std::string, CommandShape> kCommands = {
      {"init", {2, {"--iterations"}}},
      {"add-user", {1, {"--full-name", "--description"}}},
      {"set-password", {1, {}}},
      {"set-user", {1, {"--full-name", "--description"}}},
      {"remove-user", {1, {}}},
      {"add-group", {1, {"--description"}}},
      {"remove-group", {1, {}}},
      {"add-to-group", {2, {}}},
      {"remove-from-group", {2, {}}},
      {"verify", {1, {}}},
      {"list", {0, {}}},
  };
  auto shape = kCommands.find(command);
  if (shape == kCommands.end()) return Usage("unknown command " + command);
  Args args;
  std::string why;
  if (!ParseArgs(rest, shape->second.options, args, why)) return Usage(why);
  if (args.positional.size() != shape->second.count)
    return Usage(text::Format("%s takes %u argument%s", command, static_cast<unsigned>(shape->second.count),
                              shape->second.count == 1 ? "" : "s"));
  const auto& p = args.positional;

  if (command == "init") {
    uint32_t iterations = AccountStore::kDefaultIterations;
    if (args.options.count("--iterations")) {
      auto n = text::ParseUInt32(Option(args, "--iterations"));
      if (!n) return Usage("--iterations needs a number");
      iterations = *n;
    }
    if (const Status created = dir::CreateAccountStore(file, p[0], p[1], iterations); !created.ok())
      return Failed(created.message());
    std::cout << "created " << file << " for domain " << p[0] << ", computer " << p[1] << "\n";
    return 0;
  }
  if (command == "list") return List(file);
  if (command == "verify") {
    const Result<AccountStore> loaded = dir::LoadAccountStore(file);
    if (!loaded.ok()) return Failed(loaded.status().message());
    const AccountStore& store = *loaded;
    auto password = ReadPassword(false, why);
    if (!password) return Failed(why);
    if (!store.VerifyPassword(p[0], *password)) return Failed("unknown user or wrong password");
    std::cout << "password of " << p[0] << " is right\n";
    return 0;
  }
  if (command == "add-user" || command == "set-password") {
    // Check the name before asking for a password nobody will use.
    const Result<AccountStore> loaded = dir::LoadAccountStore(file);
    if (!loaded.ok()) return Failed(loaded.status().message());
    const AccountStore& store = *loaded;
    const bool adding = command == "add-user";
    if (adding && (store.FindUser(p[0]) || store.FindGroup(p[0])))
      return Failed("an account named \"" + p[0] + "\" exists already");
    if (adding && !dir::IsValidAccountName(p[0])) return Failed("\"" + p[0] + "\" cannot be an account name");
    if (!adding && !store.FindUser(p[0])) return Failed("there is no user \"" + p[0] + "\"");
    auto password = ReadPassword(true, why);
    if (!password) return Failed(why);
    if (adding) {
      const std::string fullName = Option(args, "--full-name"), description = Option(args, "--description");
      return Update(
          file, [&](AccountStore& s) { return s.AddUser(p[0], fullName, description, *password); },
          "added user " + p[0]);
    }
    return Update(
        file, [&](AccountStore& s) { return s.SetPassword(p[0], *password); },
        "set the password of " + p[0]);
  }
  if (command == "set-user") {
    std::optional<std::string> fullName, description;
    if (args.options.count("--full-name")) fullName = Option(args, "--full-name");
    if (args.options.count("--description")) description = Option(args, "--description");
    if (!fullName && !description) return Usage("set-user needs --full-name or --description");
    return Update(
        file,
        [&](AccountStore& s) {
          return s.SetUserInfo(p[0], fullName ? &*fullName : nullptr, description ? &*description : nullptr);
        },
        "changed user " + p[0]);
  }
  if (command == "remove-user")
    return Update(
        file, [&](AccountStore& s) { return s.RemoveUser(p[0]); }, "removed user " + p[0]);
  if (command == "add-group") {
    const std::string description = Option(args, "--description");
    return Update(
        file, [&](AccountStore& s) { return s.AddGroup(p[0], description); },
        "added group " + p[0]);
  }
  if (command == "remove-group")
    return Update(
        file, [&](AccountStore& s) { return s.RemoveGroup(p[0]); }, "removed group " + p[0]);
  if (command == "add-to-group")
    return Update(
        file, [&](AccountStore& s) { return s.AddMember(p[0], p[1]); },
        "added " + p[1] + " to " + p[0]);
  // remove-from-group
  return Update(
      file, [&](AccountStore& s) { return s.RemoveMember(p[0], p[1]); },
      "removed " + p[1] + " from " + p[0]);
}
