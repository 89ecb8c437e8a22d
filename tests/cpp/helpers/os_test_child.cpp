// A child program for the OS layer's tests, the same on every platform:
//   os_test_child args A B ...    each argument on a line of its own, as UTF-8
//   os_test_child env NAME        the variable's value, or "(unset)"
//   os_test_child exit N          "out" on standard output, "err" on standard error, exit status N
//   os_test_child spew N          N bytes on each of standard output and standard error
//   os_test_child sleep S         sleeps S seconds
//   os_test_child touch PATH S    sleeps S seconds, then writes "done" to PATH
// Copied under another name (as ping.exe, say) it stands in for that program:
// it appends its arguments, a line each, to the file "started" in its working
// directory and exits 0, so a test sees whether and how it was started.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace {

bool own_name(const std::string& program) {
  std::string name = program.substr(program.find_last_of("/\\") + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
  return name == "os_test_child";
}

int child(const std::vector<std::string>& args) {
  if (!args.empty() && !own_name(args[0])) {
    std::ofstream started("started", std::ios::app);
    for (std::size_t i = 1; i < args.size(); ++i) started << args[i] << "\n";
    return 0;
  }
  if (args.size() < 2) return 64;
  const std::string& command = args[1];
  if (command == "args") {
    for (std::size_t i = 2; i < args.size(); ++i) std::printf("%s\n", args[i].c_str());
    return 0;
  }
  if (command == "env" && args.size() == 3) {
    const char* value = std::getenv(args[2].c_str());
    std::printf("%s\n", value ? value : "(unset)");
    return 0;
  }
  if (command == "exit" && args.size() == 3) {
    std::printf("out\n");
    std::fprintf(stderr, "err\n");
    return std::atoi(args[2].c_str());
  }
  if (command == "spew" && args.size() == 3) {
    const std::string block(1000, 'x');
    for (long left = std::atol(args[2].c_str()); left > 0; left -= 1000) {
      std::fwrite(block.data(), 1, left < 1000 ? left : 1000, stdout);
      std::fwrite(block.data(), 1, left < 1000 ? left : 1000, stderr);
    }
    return 0;
  }
  if (command == "sleep" && args.size() == 3) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(args[2].c_str())));
    return 0;
  }
  if (command == "touch" && args.size() == 4) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(args[3].c_str())));
    std::ofstream(args[2]) << "done";
    return 0;
  }
  return 64;
}

}  // namespace

#ifdef _WIN32
// Windows hands a program one command line; the C runtime splits it into
// wide arguments, which are what the test compares, written as UTF-8.
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8.data(), n, nullptr, nullptr);
    args.push_back(utf8);
  }
  return child(args);
}
#else
int main(int argc, char** argv) { return child(std::vector<std::string>(argv, argv + argc)); }
#endif
