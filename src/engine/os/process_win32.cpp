// Child processes on Windows: CreateProcessW with a command line quoted the
// way the C runtime (and Python's subprocess) splits it again, output read from
// pipes in slices, and a job object so that a limit or an interrupt ends the
// child together with anything it started.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cwctype>
#include <memory>

#include "engine/os/process.h"
#include "engine/os/text_win32.h"

namespace engine::os {
namespace {

// One argument as the C runtime's argv parser reads it back (the rules of
// Python's subprocess.list2cmdline): quotes only around an argument that is
// empty or holds a blank or tab, backslashes doubled only before a quote.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  const bool quote = arg.empty() || arg.find_first_of(L" \t") != std::wstring::npos;
  if (quote) line.push_back(L'"');
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  // Before the closing quote the trailing backslashes must be doubled too.
  line.append(quote ? backslashes * 2 : backslashes, L'\\');
  if (quote) line.push_back(L'"');
}

std::wstring command_line(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const auto& a : argv) {
    if (!line.empty()) line.push_back(L' ');
    append_quoted(line, widen(a));
  }
  return line;
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// This process's environment with the given variables replaced (names compare
// without regard to case, as Windows does), as a sorted block for CreateProcessW.
std::wstring environment_block(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::wstring> entries;
  std::vector<std::pair<std::wstring, std::wstring>> wide;
  for (const auto& [name, value] : set) wide.emplace_back(widen(name), widen(value));
  if (wchar_t* env = ::GetEnvironmentStringsW()) {
    for (const wchar_t* e = env; *e != L'\0'; e += std::wcslen(e) + 1) {
      const std::wstring entry(e);
      // Entries such as "=C:=C:\dir" carry a name that starts with "=".
      const std::wstring name = entry.substr(0, entry.find(L'=', 1));
      bool replaced = false;
      for (const auto& [n, v] : wide) replaced = replaced || same_name(name, n);
      if (!replaced) entries.push_back(entry);
    }
    ::FreeEnvironmentStringsW(env);
  }
  for (const auto& [n, v] : wide) entries.push_back(n + L"=" + v);
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const auto& e : entries) {
    block += e;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : h(other.h) { other.h = nullptr; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void reset(HANDLE v = nullptr) {
    if (h) ::CloseHandle(h);
    h = v;
  }
};

Handle open_null(DWORD access) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  Handle h(::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
  if (!h.h) throw StartError(last_error_text());
  return h;
}

// The application to start: the program found on PATH when it is an .exe or
// .com file, else none, and CreateProcessW searches as Python's subprocess
// lets it. Batch files are never started directly.
std::wstring application_for(const std::string& program) {
  if (const auto found = find_on_path(program)) {
    std::string lower = *found;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.ends_with(".exe") || lower.ends_with(".com")) return widen(*found);
  }
  return {};
}

// Starts a process that inherits exactly the given handles as its standard streams.
PROCESS_INFORMATION start(const std::vector<std::string>& argv, HANDLE in, HANDLE out, HANDLE err, DWORD flags,
                          const std::wstring* environment) {
  if (argv.empty()) throw StartError("[WinError 87] The parameter is incorrect");
  std::wstring application = application_for(argv[0]);
  std::wstring line = command_line(argv);

  HANDLE inherit[3];
  DWORD count = 0;
  for (HANDLE h : {in, out, err}) {
    if (!h) continue;
    if (std::find(inherit, inherit + count, h) == inherit + count) inherit[count++] = h;
  }
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::unique_ptr<char[]> storage(new char[size]);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) throw StartError(last_error_text());
  struct Cleanup {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~Cleanup() { ::DeleteProcThreadAttributeList(list); }
  } cleanup{attributes};
  if (count > 0 && !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                                count * sizeof(HANDLE), nullptr, nullptr))
    throw StartError(last_error_text());

  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = in;
  info.StartupInfo.hStdOutput = out;
  info.StartupInfo.hStdError = err;
  if (count > 0) info.lpAttributeList = attributes;
  PROCESS_INFORMATION pi{};
  const BOOL ok = ::CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr,
                                   count > 0, flags | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
                                   environment ? const_cast<wchar_t*>(environment->c_str()) : nullptr, nullptr,
                                   &info.StartupInfo, &pi);
  if (!ok) throw StartError(last_error_text());
  return pi;
}

// One output pipe of a running child.
struct Stream {
  Handle read;
  std::string* sink = nullptr;
  bool open = true;

  // Reads what is waiting without blocking; false when nothing was read.
  bool drain() {
    bool got = false;
    char buffer[8192];
    while (open) {
      DWORD available = 0;
      if (!::PeekNamedPipe(read.h, nullptr, 0, nullptr, &available, nullptr)) {
        open = false;  // the writing end is closed and everything has been read
        break;
      }
      if (available == 0) break;
      DWORD n = 0;
      if (!::ReadFile(read.h, buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0) {
        open = false;
        break;
      }
      sink->append(buffer, n);
      got = true;
    }
    return got;
  }
};

}  // namespace

RunResult run(const std::vector<std::string>& argv, const RunOptions& options, const Interrupt& interrupt) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  RunResult result;
  Stream streams[2];
  Handle writes[2];
  std::string* sinks[2] = {&result.out, &result.err};
  for (int k = 0; k < 2; ++k) {
    HANDLE r = nullptr, w = nullptr;
    if (!::CreatePipe(&r, &w, &sa, 1 << 16)) throw StartError(last_error_text());
    streams[k].read.reset(r);
    writes[k].reset(w);
    streams[k].sink = sinks[k];
    ::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  }
  Handle null_in = open_null(GENERIC_READ);
  const std::wstring environment = environment_block(options.env);

  // The job holds the child and whatever it starts, so that a kill reaches all of them.
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  PROCESS_INFORMATION pi =
      start(argv, null_in.h, writes[0].h, writes[1].h, CREATE_NO_WINDOW | CREATE_SUSPENDED, &environment);
  Handle process(pi.hProcess);
  Handle thread(pi.hThread);
  const bool in_job = job.h && ::AssignProcessToJobObject(job.h, process.h);
  ::ResumeThread(thread.h);
  // Only the child may hold the writing ends now, so the pipes break when it is done.
  writes[0].reset();
  writes[1].reset();
  null_in.reset();

  auto kill = [&] {
    if (!(in_job && ::TerminateJobObject(job.h, 1))) ::TerminateProcess(process.h, 1);
    ::WaitForSingleObject(process.h, INFINITE);
  };
  using clock = std::chrono::steady_clock;
  const auto start_time = clock::now();
  bool exited = false;
  // Whatever ends the wait early (the interrupt, the limit, a failure while
  // reading) ends a child that still runs: none outlives its run.
  try {
    while (true) {
      check(interrupt);
      bool got = false;
      for (auto& s : streams) got = s.drain() || got;
      // A grandchild may keep the pipes open after the child has gone; what was
      // already written has been read above, so do not wait for it.
      if (exited) break;
      if (options.limit && std::chrono::duration<double>(clock::now() - start_time).count() >= *options.limit) {
        throw TimedOut("Command '" + argv[0] + "' timed out");
      }
      DWORD slice = static_cast<DWORD>(kSlice.count());
      if (got) slice = 0;
      if (options.limit) {
        const double left = *options.limit - std::chrono::duration<double>(clock::now() - start_time).count();
        slice = std::min<DWORD>(slice, static_cast<DWORD>(std::max(0.0, left * 1000.0)) + 1);
      }
      exited = ::WaitForSingleObject(process.h, slice) == WAIT_OBJECT_0;
    }
  } catch (...) {
    if (!exited) kill();
    throw;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.h, &code);
  result.exit_status = static_cast<int>(code);
  return result;
}

void spawn_detached(const std::vector<std::string>& argv) {
  // Standard input is inherited (as an inheritable copy), the output goes to
  // the null device, and no handle of the new process is kept.
  Handle in;
  const HANDLE own_in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (own_in && own_in != INVALID_HANDLE_VALUE) {
    HANDLE copy = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), own_in, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
      in.reset(copy);
  }
  Handle null_out = open_null(GENERIC_WRITE);
  PROCESS_INFORMATION pi =
      start(argv, in.h, null_out.h, null_out.h, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
}

std::optional<std::string> find_on_path(std::string_view name) {
  if (name.empty() || name.find_first_of("/\\:") != std::string_view::npos) return std::nullopt;
  const std::wstring wname = widen(std::string(name));
  auto variable = [](const wchar_t* var) -> std::wstring {
    const DWORD n = ::GetEnvironmentVariableW(var, nullptr, 0);
    if (n == 0) return {};
    std::wstring value(n, L'\0');
    value.resize(::GetEnvironmentVariableW(var, value.data(), n));
    return value;
  };
  auto split = [](const std::wstring& list) {
    std::vector<std::wstring> parts;
    std::size_t from = 0;
    while (from <= list.size()) {
      const std::size_t sep = std::min(list.find(L';', from), list.size());
      if (sep > from) parts.push_back(list.substr(from, sep - from));
      from = sep + 1;
    }
    return parts;
  };
  auto lower = [](std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
    return s;
  };

  // As shutil.which: the name itself when it already ends in one of PATHEXT's
  // extensions, else the name with each of them in turn.
  std::wstring pathext = variable(L"PATHEXT");
  if (pathext.empty()) pathext = L".COM;.EXE;.BAT;.CMD;.VBS;.JS;.WS;.MSC";
  const std::vector<std::wstring> extensions = split(pathext);
  std::vector<std::wstring> candidates;
  for (const auto& ext : extensions)
    if (lower(wname).ends_with(lower(ext))) candidates = {wname};
  if (candidates.empty())
    for (const auto& ext : extensions) candidates.push_back(wname + ext);

  // The current directory first, as Windows' own search does, unless the
  // user switched that off.
  std::vector<std::wstring> dirs;
  if (variable(L"NoDefaultCurrentDirectoryInExePath").empty()) dirs.push_back(L".");
  for (const auto& d : split(variable(L"PATH"))) dirs.push_back(d);

  for (const auto& dir : dirs) {
    for (const auto& file : candidates) {
      std::wstring path = dir;
      if (path.back() != L'\\' && path.back() != L'/') path.push_back(L'\\');
      path += file;
      const DWORD attributes = ::GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return narrow(path);
    }
  }
  return std::nullopt;
}

}  // namespace engine::os
