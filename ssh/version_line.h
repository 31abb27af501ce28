#ifndef SSH_VERSION_LINE_H_
#define SSH_VERSION_LINE_H_

// The SSH server's identification line, the first thing read on every
// connection to a router: by the probes of a rebooted router and by the
// reader of a server's offer. Pure: the callers read the bytes.

#include <cstddef>
#include <string_view>

enum class VersionLineScan {
  kFound,    // a line beginning "SSH-" is there
  kWanting,  // not yet: more bytes may bring it
  kRefused,  // never: too many lines before it, or a line too long
};

/// Looks for the identification line in the bytes a server sent first (RFC
/// 4253, 4.2: other lines may come before it): at most 50 lines before it
/// and no line longer than 8192 bytes. When found, *end is the offset just
/// past its line feed.
VersionLineScan FindVersionLine(std::string_view bytes, size_t* end);

#endif  // SSH_VERSION_LINE_H_
