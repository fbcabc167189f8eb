#include "cgroup.hpp"

#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>

namespace korvane::cgroup {

namespace {

namespace fs = std::filesystem;

template <class Integer>
std::optional<Integer> parse_integer(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool contains(const std::vector<std::string_view>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Where this process sits in the hierarchy of `controller`, read from
// /proc/self/cgroup. A cgroup v1 line naming the controller wins over the v2
// line: on hybrid systems the v2 tree usually carries no such controller.
struct CgroupPlace {
  bool v1 = false;
  std::string path;
};

std::optional<CgroupPlace> find_cgroup_place(std::string_view proc_self_cgroup,
                                             std::string_view controller) {
  std::optional<CgroupPlace> place;
  for (const auto line : split(proc_self_cgroup, '\n')) {
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    const auto path = line.substr(fields[0].size() + fields[1].size() + 2);
    if (fields[1].empty() && !place) place = CgroupPlace{false, std::string(path)};
    if (contains(split(fields[1], ','), controller)) return CgroupPlace{true, std::string(path)};
  }
  return place;
}

// Mount of the hierarchy: the cgroup path it exposes (its root) and where.
struct CgroupMount {
  std::string root;
  fs::path mount_point;
};

// Fields of a mountinfo line: id, parent, device, root, mount point, options,
// optional fields up to "-", then file-system type, source, super options.
std::optional<CgroupMount> find_cgroup_mount(std::string_view mountinfo, bool v1,
                                             std::string_view controller) {
  for (const auto line : split(mountinfo, '\n')) {
    const auto fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || fields.end() - dash < 4) continue;
    const bool match = v1 ? dash[1] == "cgroup" && contains(split(dash[3], ','), controller)
                          : dash[1] == "cgroup2";
    if (match) return CgroupMount{std::string(fields[3]), fs::path(std::string(fields[4]))};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return content.str();
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::optional<std::int64_t> parse_signed(std::string_view text) {
  return parse_integer<std::int64_t>(trim(text));
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  return parse_integer<std::uint64_t>(trim(text));
}

GroupDirectories group_directories(std::string_view controller) {
  const auto proc_self_cgroup = read_file("/proc/self/cgroup");
  const auto mountinfo = read_file("/proc/self/mountinfo");
  if (!proc_self_cgroup || !mountinfo) return {};
  const auto place = find_cgroup_place(*proc_self_cgroup, controller);
  if (!place) return {};
  const auto mount = find_cgroup_mount(*mountinfo, place->v1, controller);
  if (!mount) return {};

  // A path outside the mount's root (a group above this namespace) cannot be
  // reached through the mount.
  const fs::path relative = fs::path(place->path)
                                .lexically_normal()
                                .lexically_relative(fs::path(mount->root).lexically_normal());
  if (relative.empty() || *relative.begin() == "..") return {};

  GroupDirectories group{place->v1, {mount->mount_point}};
  for (const auto& component : relative) {
    if (component == "." || component.empty()) continue;
    group.directories.push_back(group.directories.back() / component);
  }
  return group;
}

}  // namespace korvane::cgroup
