// The module's part in fork(): no lock of the module is held, in the child,
// by a thread the child does not have, and the child's first awaitable call
// builds an executor of its own.
#pragma once

namespace ratevane::modules {

// Registers the fork handlers once per process (lock held; module
// initialisation). False when the platform refused; POSIX only, a no-op
// elsewhere.
bool register_fork_handlers() noexcept;

}  // namespace ratevane::modules
