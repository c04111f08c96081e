// The device registry on Linux. Without MX40R_REGISTRY_DIR it is the tree that the sysfs tty table
// makes, built afresh whenever a key is opened below the root and shared by the keys opened in it.
// With MX40R_REGISTRY_DIR set it is that directory: a directory is a key, a sub-directory a
// subkey (listed in ascending byte order of the names), a regular file a value holding exactly the
// bytes a query hands back.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/sysfs_registry.h"

namespace platform {
namespace {

constexpr std::int32_t kInvalidHandle = 6;

struct Key {
  // Directory form: the key's directory.
  std::string directory;
  // Tree form: the tree, kept alive by every key opened in it, and this key's node.
  std::shared_ptr<const sysfs::RegistryNode> tree;
  const sysfs::RegistryNode* node = nullptr;
};

Key* ToKey(RegistryKey key) {
  if (key == nullptr || key == kLocalMachineKey) return nullptr;
  return static_cast<Key*>(key);
}

// The components of a key path; false for an empty component, which names no key.
bool SplitPath(const char* path, std::vector<std::string>& components) {
  if (path == nullptr || *path == '\0') return true;
  const std::string text(path);
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = text.find('\\', start);
    const std::string component = text.substr(start, end - start);
    if (component.empty()) return false;
    components.push_back(component);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// A name that stays one directory entry below its key.
bool IsEntryName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The root as a key of its own form, which the first open below it starts from.
bool OpenRoot(Key& root) {
  // Set but empty still counts as set, and opens nothing: a test must never reach the real tree.
  if (const char* directory = std::getenv("MX40R_REGISTRY_DIR")) {
    root.directory = directory;
    return !root.directory.empty() && IsDirectory(root.directory);
  }
  root.tree = std::make_shared<const sysfs::RegistryNode>(
      sysfs::BuildRegistryTree(sysfs::ReadTtyPorts(sysfs::kSystemRoot)));
  root.node = root.tree.get();
  return true;
}

bool Descend(Key& key, const std::string& component) {
  if (key.node != nullptr) {
    key.node = key.node->Subkey(component);
    return key.node != nullptr;
  }
  if (!IsEntryName(component)) return false;
  key.directory += "/" + component;
  return IsDirectory(key.directory);
}

std::vector<std::string> SubkeyNames(const Key& key) {
  std::vector<std::string> names;
  if (key.node != nullptr) {
    for (const sysfs::RegistryNode& subkey : key.node->subkeys) names.push_back(subkey.name);
    return names;
  }
  if (DIR* dir = opendir(key.directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (IsEntryName(name) && IsDirectory(key.directory + "/" + name)) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A value file's bytes, at most `limit` of them, and its whole length. One byte past the limit is
// read to tell a value that fills the room from one that is larger.
bool ReadValueFile(const std::string& path, std::string::size_type limit, std::string& bytes,
                   std::uint64_t& length) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  bytes.clear();
  char chunk[512];
  ssize_t count = 0;
  while (bytes.size() <= limit) {
    count =
        read(fd, chunk, std::min<std::string::size_type>(sizeof chunk, limit + 1 - bytes.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    bytes.append(chunk, static_cast<std::string::size_type>(count));
  }
  close(fd);
  if (count < 0) return false;
  if (bytes.size() <= limit) {
    length = bytes.size();
  } else {
    bytes.resize(limit);
    length = std::max<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), limit + 1);
  }
  return true;
}

bool ValueBytes(const Key& key, const char* valueName, std::string::size_type limit,
                std::string& bytes, std::uint64_t& length) {
  const std::string name = valueName == nullptr ? std::string() : valueName;
  if (key.node != nullptr) {
    const std::string* value = key.node->Value(name);
    if (value == nullptr) return false;
    bytes = value->substr(0, limit);
    length = value->size();
    return true;
  }
  return IsEntryName(name) && ReadValueFile(key.directory + "/" + name, limit, bytes, length);
}

}  // namespace

std::int32_t RegistryOpenKey(RegistryKey root, const char* path, RegistryKey* key) {
  if (key == nullptr) return kInvalidHandle;
  Key opened;
  if (root == kLocalMachineKey) {
    if (!OpenRoot(opened)) return kRegistryNotFound;
  } else if (const Key* parent = ToKey(root)) {
    opened = *parent;
  } else {
    return kInvalidHandle;
  }
  std::vector<std::string> components;
  if (!SplitPath(path, components)) return kRegistryNotFound;
  for (const std::string& component : components) {
    if (!Descend(opened, component)) return kRegistryNotFound;
  }
  Key* handle = new (std::nothrow) Key(std::move(opened));
  if (handle == nullptr) return kRegistryNotFound;
  *key = handle;
  return kRegistrySuccess;
}

std::int32_t RegistryEnumKey(RegistryKey key, std::uint32_t index, char* name,
                             std::uint32_t nameSize) {
  const Key* opened = ToKey(key);
  if (opened == nullptr || name == nullptr) return kInvalidHandle;
  const std::vector<std::string> names = SubkeyNames(*opened);
  if (index >= names.size()) return kRegistryNoMoreItems;
  const std::string& found = names[index];
  if (found.size() >= nameSize) return kRegistryMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return kRegistrySuccess;
}

std::int32_t RegistryQueryValue(RegistryKey key, const char* valueName, std::uint8_t* data,
                                std::uint32_t* size) {
  const Key* opened = ToKey(key);
  if (opened == nullptr || size == nullptr) return kInvalidHandle;
  const std::string::size_type room = data == nullptr ? UINT32_MAX : *size;
  std::string bytes;
  std::uint64_t length = 0;
  if (!ValueBytes(*opened, valueName, room, bytes, length)) return kRegistryNotFound;
  *size = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, UINT32_MAX));
  if (length > room) return kRegistryMoreData;
  // Without a buffer the query only asks for the length, and succeeds with it.
  if (data == nullptr) return kRegistrySuccess;
  std::copy(bytes.begin(), bytes.end(), data);
  return kRegistrySuccess;
}

void RegistryCloseKey(RegistryKey key) { delete ToKey(key); }

}  // namespace platform
