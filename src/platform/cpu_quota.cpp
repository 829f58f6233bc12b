// Reading a control group's CPU quota; see cpu_quota.hpp.
#include "platform/cpu_quota.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace atanorg {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool has_token(const std::string& list, const std::string& token) {
  const std::vector<std::string> tokens = split(list, ',');
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo
// (\040, \011, \012, \134), anywhere in the path, its end included.
std::string unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const bool octal = field[i] == '\\' && field.size() - i >= 4 && field[i + 1] >= '0' && field[i + 1] <= '3' &&
                       std::all_of(field.begin() + i + 2, field.begin() + i + 4,
                                   [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// A mounted hierarchy: the path within it that the mount shows, and where.
struct Mount {
  std::string root;
  std::string point;
};

// The first mount of a v2 hierarchy (v1 false), or of the v1 hierarchy
// holding the cpu controller.
bool find_mount(const std::string& root, bool v1, Mount& found) {
  std::ifstream in(root + "/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
    std::string id, parent, device, mount_root, point, type, source, super;
    if (!(head >> id >> parent >> device >> mount_root >> point) || !(tail >> type >> source)) continue;
    tail >> super;
    if (v1 ? (type == "cgroup" && has_token(super, "cpu")) : type == "cgroup2") {
      found = Mount{unescape(mount_root), unescape(point)};
      return true;
    }
  }
  return false;
}

// The process's group in the v2 hierarchy (v1 false) or in the v1 one of
// the cpu controller, as /proc/self/cgroup gives it.
bool find_group(const std::string& root, bool v1, std::string& path) {
  std::ifstream in(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    // ID:CONTROLLERS:PATH; v2's line is 0::PATH.
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    if (v1 ? has_token(controllers, "cpu") : (line.compare(0, first, "0") == 0 && controllers.empty())) {
      path = line.substr(second + 1);
      return true;
    }
  }
  return false;
}

// The quota in CPUs set in one group directory; 0 for none.
double quota_in(const std::string& dir, bool v1) {
  double quota = 0.0, period = 0.0;
  if (v1) {
    std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
    if (!(q >> quota) || !(p >> period)) return 0.0;
  } else {
    std::ifstream max(dir + "/cpu.max");
    std::string quota_text;
    if (!(max >> quota_text >> period) || quota_text == "max") return 0.0;
    std::istringstream number(quota_text);
    if (!(number >> quota)) return 0.0;
  }
  return quota > 0.0 && period > 0.0 ? quota / period : 0.0;
}

// The smallest quota from the process's group up to the hierarchy's root.
double hierarchy_quota(const std::string& root, bool v1) {
  Mount mount;
  std::string group;
  if (!find_mount(root, v1, mount) || !find_group(root, v1, group)) return 0.0;
  // The kernel writes absolute paths: anything else says nothing known.
  if (group.empty() || group[0] != '/') return 0.0;
  // The group's path relative to what the mount shows; a group outside it
  // (another namespace's view) or an odd path reads the mount's own files.
  std::string relative;
  if (mount.root == "/") {
    relative = group;
  } else if (group.compare(0, mount.root.size(), mount.root) == 0 &&
             (group.size() == mount.root.size() || group[mount.root.size()] == '/')) {
    relative = group.substr(mount.root.size());
  }
  if (relative.find("/..") != std::string::npos || relative.find("../") != std::string::npos) relative.clear();
  while (!relative.empty() && relative.back() == '/') relative.pop_back();

  double smallest = 0.0;
  for (;;) {
    const double quota = quota_in(root + mount.point + relative, v1);
    if (quota > 0.0 && (smallest == 0.0 || quota < smallest)) smallest = quota;
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string::npos) break;
    relative.erase(slash);
  }
  return smallest;
}

}  // namespace

double cgroup_cpu_quota(const std::string& root) {
  const double v1 = hierarchy_quota(root, true);
  const double v2 = hierarchy_quota(root, false);
  if (v1 == 0.0 || v2 == 0.0) return std::max(v1, v2);
  return std::min(v1, v2);
}

int threads_within(int online, int affinity, double quota) {
  int threads = std::numeric_limits<int>::max();
  if (online > 0) threads = online;
  if (affinity > 0) threads = std::min(threads, affinity);
  if (quota > 0.0) threads = static_cast<int>(std::min<double>(threads, std::floor(quota + 0.5)));
  return threads == std::numeric_limits<int>::max() ? 1 : std::max(threads, 1);
}

}  // namespace atanorg
