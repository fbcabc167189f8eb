#pragma once

// Reading the control-group limits that bind this process (Linux); elsewhere
// the files do not exist and every limit is absent.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::cgroup {

[[nodiscard]] std::optional<std::string> read_file(const std::filesystem::path& path);

[[nodiscard]] std::string_view trim(std::string_view text);
[[nodiscard]] std::vector<std::string_view> split(std::string_view text, char separator);

// The whole of `text`, spaces and newlines around it aside, as a decimal
// integer; none for anything else.
[[nodiscard]] std::optional<std::int64_t> parse_signed(std::string_view text);
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The smallest of the limits that `read_limit(directory, v1)` finds in the
// directory of this process's group of `controller` and in each ancestor's, up
// to the root of the mount: any ancestor's limit binds this process too. None
// when no level sets a limit or the hierarchy cannot be read.
template <class ReadLimit>
[[nodiscard]] std::optional<std::uint64_t> smallest_limit(std::string_view controller,
                                                          ReadLimit&& read_limit);

// The directories from the mount's root down to this process's group, and
// whether they belong to a cgroup v1 hierarchy; empty when they cannot be found.
struct GroupDirectories {
  bool v1 = false;
  std::vector<std::filesystem::path> directories;
};
[[nodiscard]] GroupDirectories group_directories(std::string_view controller);

template <class ReadLimit>
std::optional<std::uint64_t> smallest_limit(std::string_view controller, ReadLimit&& read_limit) {
  const GroupDirectories group = group_directories(controller);
  std::optional<std::uint64_t> limit;
  for (const auto& directory : group.directories) {
    const std::optional<std::uint64_t> level = read_limit(directory, group.v1);
    if (level) limit = std::min(limit.value_or(*level), *level);
  }
  return limit;
}

}  // namespace korvane::cgroup
