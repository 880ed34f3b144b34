#pragma once

#include <optional>
#include <string>

namespace kora486 {

/// The user's temporary directory: $TMPDIR when set and not empty, else /tmp.
std::string TemporaryDirectory();

/// Creates a new, empty file with a unique name that begins with prefix in the temporary
/// directory, and answers its path; nothing when no such file could be made.
std::optional<std::string> CreateUniqueTemporaryFile(const std::string& prefix);

/// Creates a new, empty file with a unique name that begins with prefix in directory (the
/// current one when empty), and answers its path; nothing when no such file could be made.
std::optional<std::string> CreateUniqueFileIn(const std::string& directory,
                                              const std::string& prefix);

}  // namespace kora486
