// The operating-system layer on the Windows API.
#include "os/os.hpp"

#include "os/windows_api.hpp"

#include <vector>

// Windows 10 1803 and later; older headers may not name it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace ratevane::os {

namespace {

// FILETIME counts 100 ns ticks since 1601-01-01; the Unix epoch is this many
// ticks later.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

int64_t performance_frequency() noexcept {
  // Fixed at boot; read once.
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  return frequency;
}

// One waitable timer per sleeping thread, made on its first sleep and closed
// when the thread ends. The high-resolution kind ends a wait within about
// 1 ms without raising the whole system's timer rate the way timeBeginPeriod
// does; Windows before 10 (1803) refuses the flag, and a plain timer then
// sleeps to the system tick (15.6 ms unless something raised the rate).
class ThreadTimer {
 public:
  ThreadTimer() {
    handle_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                     TIMER_ALL_ACCESS);
    if (handle_ == nullptr) handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~ThreadTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;

  // False when there is no timer or it could not be set.
  bool sleep(int64_t ns) noexcept {
    if (handle_ == nullptr) return false;
    LARGE_INTEGER due;
    // Negative: relative, in 100 ns units, rounded up so the sleep is never
    // shorter than asked.
    due.QuadPart = -((ns + 99) / 100);
    if (!SetWaitableTimerEx(handle_, &due, 0, nullptr, nullptr, nullptr, 0)) return false;
    return WaitForSingleObject(handle_, INFINITE) == WAIT_OBJECT_0;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

int64_t wall_clock_ns() noexcept {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return (ticks - kUnixEpochTicks) * 100;
}

int64_t monotonic_ns() noexcept {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const int64_t ticks = counter.QuadPart;
  const int64_t f = performance_frequency();
  // Split so that ticks * 1e9 cannot overflow (it would after 2.5 hours at
  // the usual 10 MHz).
  return ticks / f * 1'000'000'000 + ticks % f * 1'000'000'000 / f;
}

void sleep_ns(int64_t ns) noexcept {
  if (ns <= 0) return;
  thread_local ThreadTimer timer;
  if (timer.sleep(ns)) return;
  // No timer at all: Sleep's milliseconds, rounded up.
  const int64_t ms = (ns + 999'999) / 1'000'000;
  Sleep(static_cast<DWORD>(ms < INFINITE - 1 ? ms : INFINITE - 1));
}

void yield_processor() noexcept { SwitchToThread(); }

void name_thread(std::thread& thread, const char* name) noexcept {
  // SetThreadDescription exists from Windows 10 (1607) on: looked up at run
  // time, so that the module still loads on older systems.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set_description == nullptr) return;
  wchar_t wide[64];
  const int n = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 64);
  if (n <= 0) return;
  set_description(reinterpret_cast<HANDLE>(thread.native_handle()), wide);
}

void prefer_prompt_wakeups() noexcept {}

unsigned processor_count() noexcept {
  // More than 64 logical processors form several groups; the count of the
  // calling thread's group alone (what GetSystemInfo gives) would miss the
  // others, and from Windows 11 a process's threads run in all of them.
  const DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return static_cast<unsigned>(n);
}

std::optional<std::string> environment_variable(const char* name) {
  const int name_length = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
  if (name_length <= 0) return std::nullopt;
  std::vector<wchar_t> wide_name(static_cast<std::size_t>(name_length));
  MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name.data(), name_length);
  std::vector<wchar_t> value(64);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide_name.data(), value.data(),
                                            static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set to the empty string
    }
    // Too small: n is the size needed, terminator included. The value may
    // grow between two calls, hence the loop.
    if (n >= value.size()) {
      value.resize(n);
      continue;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n),
                                          nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
      WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(n), text.data(), bytes,
                          nullptr, nullptr);
    }
    return text;
  }
}

bool register_fork_handlers(void (*)(), void (*)(), void (*)()) noexcept { return true; }

}  // namespace ratevane::os
