#include "netrelease/process_functions.h"

#include "core/exceptions.h"
#include "platform/shell.h"
#include "support/files.h"

namespace {
constexpr char kLogSource[] = "process_functions";

ShellOpener& shell_opener() {
  static ShellOpener opener = platform::shell_open;
  return opener;
}
}  // namespace

ShellOpener set_shell_opener(ShellOpener opener) {
  ShellOpener previous = std::move(shell_opener());
  shell_opener() = opener ? std::move(opener) : ShellOpener(platform::shell_open);
  return previous;
}

void launch_file(const std::wstring& path, bool complete) {
  std::wstring folder;
  if (!complete) {
    folder = module_folder();
    if (folder.empty()) throw_logged(ProcessException(L"cannot get current directory"), __LINE__, kLogSource);
  }
  shell_opener()(folder + path);
}
