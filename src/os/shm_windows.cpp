// Host-wide budgets on Windows: a named file mapping backed by the paging
// file, a named mutex beside it, a polled wait on the wake word and the
// process creation time.
#include "os/shm.hpp"

// clang-format off: windows.h comes before the headers that need it.
#include "os/windows_api.hpp"
#include <aclapi.h>
#include <io.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <vector>

#include "os/os.hpp"

namespace ratevane::os {
namespace {

// Budget names are plain ASCII (the engine checks them), so widening is one
// character for one.
std::wstring object_name(const std::string& name, const wchar_t* suffix = L"") {
  std::wstring wide = L"Local\\";
  for (char c : name) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide + suffix;
}

// The nearest errno, so that the host raises the matching OSError subclass.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    // The name is taken by an object of another kind.
    case ERROR_INVALID_HANDLE: return EEXIST;
    default: return EINVAL;
  }
}

bool fail(RegionError& error, int number, std::string what) {
  error.error_number = number;
  error.what = std::move(what);
  return false;
}

bool fail_last(RegionError& error, std::string what) {
  return fail(error, errno_of(GetLastError()), std::move(what));
}

// The user this process runs as, read once (a process keeps its token).
// Empty when the token cannot be read.
const std::vector<unsigned char>& user_sid() {
  static const std::vector<unsigned char> sid = [] {
    std::vector<unsigned char> out;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return out;
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    if (needed != 0 &&
        GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) {
      PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
      const DWORD length = GetLengthSid(user);
      out.resize(length);
      CopySid(length, out.data(), user);
    }
    CloseHandle(token);
    return out;
  }();
  return sid;
}

// A security descriptor that names this user as owner and lets nobody else
// in: one access-allowed entry, for the user's SID. An object other users
// could write to could hand out permits this budget does not have.
class OwnerOnly {
 public:
  bool make() {
    const auto& sid = user_sid();
    if (sid.empty()) return false;
    PSID user = const_cast<unsigned char*>(sid.data());
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + sid.size());
    auto* acl = reinterpret_cast<ACL*>(acl_.data());
    return InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
           AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, user) &&
           InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&descriptor_, user, FALSE) &&
           SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  }
  SECURITY_ATTRIBUTES* attributes() {
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
    return &attributes_;
  }

 private:
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// An object that was there already must belong to this user.
bool check_owner(HANDLE object, RegionError& error, const char* kind) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                   nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return fail(error, errno_of(rc), std::string("GetSecurityInfo of the ") + kind);
  const auto& sid = user_sid();
  const bool mine =
      owner != nullptr && !sid.empty() && EqualSid(owner, const_cast<unsigned char*>(sid.data()));
  LocalFree(descriptor);
  if (!mine) return fail(error, 0, std::string("its ") + kind + " belongs to another user");
  return true;
}

uint64_t filetime_value(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

std::string shared_region_path(const std::string& name) { return "Local\\" + name; }

// CreateFileMappingW and CreateMutexW each make the object or open the one
// of that name, atomically: two processes that start together get one
// mapping and one mutex. A mapping backed by the paging file is made at its
// full size and zero-filled by the system, so there is no empty state to
// wait out as with a POSIX object; the engine's wait for the magic covers
// the maker's writes.
bool open_shared_region(const std::string& name, std::size_t size, SharedRegion& out,
                        RegionError& error) {
  OwnerOnly security;
  if (!security.make()) return fail_last(error, "reading this user's identity");
  const uint64_t wide_size = size;
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, security.attributes(), PAGE_READWRITE,
                                      static_cast<DWORD>(wide_size >> 32),
                                      static_cast<DWORD>(wide_size), object_name(name).c_str());
  if (mapping == nullptr) return fail_last(error, "CreateFileMappingW");
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  HANDLE mutex = CreateMutexW(security.attributes(), FALSE, object_name(name, L".lock").c_str());
  bool ok = mutex != nullptr || fail_last(error, "CreateMutexW");
  const bool mutex_created = ok && GetLastError() != ERROR_ALREADY_EXISTS;
  ok = ok && (created || check_owner(mapping, error, "mapping"));
  ok = ok && (mutex_created || check_owner(mutex, error, "lock"));
  void* base = ok ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
  ok = ok && (base != nullptr || fail_last(error, "MapViewOfFile"));
  // The view of an existing mapping is its whole size, rounded up to pages.
  MEMORY_BASIC_INFORMATION info{};
  ok = ok && (VirtualQuery(base, &info, sizeof info) != 0 || fail_last(error, "VirtualQuery"));
  if (!ok) {
    if (base != nullptr) UnmapViewOfFile(base);
    if (mutex != nullptr) CloseHandle(mutex);
    CloseHandle(mapping);
    return false;
  }
  out.base = base;
  out.size = created ? size : info.RegionSize;
  out.created = created;
  // The handle stays open with the view: a view alone keeps the memory,
  // but the name goes with the last handle, and the next process to ask
  // for it would make a fresh budget beside this one.
  out.mapping = mapping;
  out.lock = mutex;
  return true;
}

void close_shared_region(SharedRegion& region) noexcept {
  if (region.base != nullptr) UnmapViewOfFile(region.base);
  if (region.mapping != nullptr) CloseHandle(region.mapping);
  if (region.lock != nullptr) CloseHandle(region.lock);
  region.base = nullptr;
  region.mapping = nullptr;
  region.lock = nullptr;
  region.size = 0;
}

// A named mapping cannot be removed: the system deletes it when its last
// view and handle close. What can be said honestly is whether one exists.
int remove_shared_region(const std::string& name) noexcept {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, object_name(name).c_str());
  if (mapping == nullptr) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
    errno = errno_of(GetLastError());
    return -1;
  }
  CloseHandle(mapping);
  errno = EBUSY;
  return -1;
}

// The lock is the named mutex; the cell in the mapping stays unused.
bool init_shared_lock(const SharedRegion& region, SharedLockCell&) noexcept {
  return region.lock != nullptr;
}

SharedLockTaken take_shared_lock(const SharedRegion& region, SharedLockCell&) noexcept {
  switch (WaitForSingleObject(region.lock, INFINITE)) {
    case WAIT_OBJECT_0: return SharedLockTaken::taken;
    // Held now; its last owner ended (its process killed) without letting
    // go: the same as a robust mutex's EOWNERDEAD.
    case WAIT_ABANDONED: return SharedLockTaken::owner_died;
    default: return SharedLockTaken::failed;
  }
}

void let_go_shared_lock(const SharedRegion& region, SharedLockCell&) noexcept {
  ReleaseMutex(region.lock);
}

// No futex word across processes on Windows (WaitOnAddress is private to a
// process): the word is polled, 1 ms at first and up to 16 ms between
// looks, so a give-back in another process ends the wait within 16 ms.
bool wait_on_shared_word(std::atomic<uint32_t>& word, uint32_t expected,
                         int64_t timeout_ns) noexcept {
  const int64_t deadline = monotonic_ns() + std::max<int64_t>(timeout_ns, 0);
  int64_t step = 1'000'000;
  for (;;) {
    if (word.load(std::memory_order_acquire) != expected) return true;
    const int64_t left = deadline - monotonic_ns();
    if (left <= 0) return false;
    sleep_ns(std::min(step, left));
    step = std::min<int64_t>(step * 2, 16'000'000);
  }
}

void wake_shared_word(std::atomic<uint32_t>&) noexcept {}

const ProcessIdentity& current_process() {
  // No fork on Windows: read once for the life of the process.
  static const ProcessIdentity self = [] {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return ProcessIdentity{GetCurrentProcessId(), filetime_value(created)};
  }();
  return self;
}

bool process_alive(const ProcessIdentity& who) {
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(who.pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such id
  FILETIME created, exited, kernel, user;
  DWORD code = 0;
  bool alive = true;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    alive = filetime_value(created) == who.start_time;
  }
  // An ended process stays visible while someone has a handle to it. An
  // exit code that happens to be STILL_ACTIVE reads as alive: kept, which
  // is the safe side.
  if (alive && GetExitCodeProcess(process, &code)) alive = code == STILL_ACTIVE;
  CloseHandle(process);
  return alive;
}

#ifdef RATEVANE_FAULT_INJECTION
void announce_and_hang(int fd) noexcept {
  const char byte = 'p';
  _write(fd, &byte, 1);
  for (;;) Sleep(INFINITE);
}
#endif

}  // namespace ratevane::os
