#pragma once

namespace quillmere::testing {

// Moves the calling process into new namespaces of the kinds flags names
// (CLONE_NEWNET, CLONE_NEWNS), whoever runs the tests. An account without
// the right to make them (any but root) takes a user namespace of its own
// as well, keeps its ids in it, and holds every capability over the new
// namespaces until it execs. For a child after fork: system calls only.
// Returns 0, or the errno of the refusal: EINVAL when the child has a
// thread besides its own (ThreadSanitizer's, after fork), as a user
// namespace is only made for a process of one thread.
int enterPrivateNamespaces(int flags);

} // namespace quillmere::testing
