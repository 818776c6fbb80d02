#include "XmlConfig.hh"

#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

pthread_mutex_t XmlConfig::xmlPathMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Size of the working copy a path is split in: room for 511 characters and
// the terminating NUL.
constexpr size_t kPathCopySize = 512;
char const* const kPathDelimiters = "/";
char const* const kIndent = "\t";

class PathLock {
public:
  explicit PathLock(pthread_mutex_t* mutex) : fMutex(mutex) { pthread_mutex_lock(fMutex); }
  ~PathLock() { pthread_mutex_unlock(fMutex); }
  PathLock(PathLock const&) = delete;
  PathLock& operator=(PathLock const&) = delete;

private:
  pthread_mutex_t* fMutex;
};

// Copies the path into the working copy. False when it does not fit; the
// copy is then left untouched.
bool copyPath(char (&copy)[kPathCopySize], char const* path) {
  size_t length = strnlen(path, kPathCopySize);
  if (length >= kPathCopySize) return false;
  memcpy(copy, path, length + 1);
  return true;
}

// The first child of parent, in document order, whose value equals name.
TiXmlNode* findChild(TiXmlNode* parent, char const* name) {
  for (TiXmlNode* child = parent->FirstChild(); child != nullptr; child = child->NextSibling()) {
    if (strcmp(child->Value(), name) == 0) return child;
  }
  return nullptr;
}

}  // namespace

XmlConfig::XmlConfig() { fPrinter.SetIndent(kIndent); }

XmlConfig::XmlConfig(char const* text) : XmlConfig() { fDocument.Parse(text, nullptr, TIXML_ENCODING_LEGACY); }

XmlConfig::~XmlConfig() = default;

bool XmlConfig::load(char const* fileName) {
  clear();
  if (fileName == nullptr) {
    fDocument.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_LEGACY);
    return false;
  }
  // A directory opens for reading but has no size the library could read
  // it by; it is refused like a file that cannot be opened.
  struct stat status;
  if (stat(fileName, &status) == 0 && S_ISDIR(status.st_mode)) {
    fDocument.SetValue(fileName);
    fDocument.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_LEGACY);
    return false;
  }
  return fDocument.LoadFile(fileName, TIXML_ENCODING_LEGACY);
}

bool XmlConfig::save(char const* fileName) {
  if (fileName == nullptr) return false;
  FILE* file = fopen(fileName, "w");
  if (file == nullptr) return false;

  fDocument.SaveFile(file);
  fflush(file);
  int fd = fileno(file);
  fdatasync(fd);
  fsync(fd);

  bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

char const* XmlConfig::parse(char const* text) {
  clear();
  return fDocument.Parse(text, nullptr, TIXML_ENCODING_LEGACY);
}

void XmlConfig::clear() { fDocument.Clear(); }

char const* XmlConfig::print() { return print(&fDocument); }

char const* XmlConfig::print(TiXmlNode const* node) {
  if (node == nullptr) return nullptr;
  // The printer cannot empty its output, so every print starts from a
  // fresh one with the same settings.
  fPrinter = TiXmlPrinter();
  fPrinter.SetIndent(kIndent);
  node->Accept(&fPrinter);
  return fPrinter.CStr();
}

TiXmlDocument* XmlConfig::document() { return &fDocument; }

TiXmlNode* XmlConfig::find(char const* path) { return resolve(path, false); }

TiXmlNode* XmlConfig::findOrCreate(char const* path) { return resolve(path, true); }

TiXmlNode* XmlConfig::resolve(char const* path, bool create) {
  if (path == nullptr) return nullptr;

  // The whole walk (copy, split, search, append) holds the path mutex:
  // strtok's position is process-wide.
  PathLock lock(&xmlPathMutex);
  char copy[kPathCopySize];
  if (!copyPath(copy, path)) return nullptr;

  char const* component = strtok(copy, kPathDelimiters);
  if (component == nullptr) return nullptr;
  TiXmlNode* node = &fDocument;
  while (component != nullptr) {
    TiXmlNode* child = findChild(node, component);
    if (child == nullptr && create) child = node->LinkEndChild(new TiXmlElement(component));
    if (child == nullptr) return nullptr;
    node = child;
    component = strtok(nullptr, kPathDelimiters);
  }
  return node;
}

int XmlConfig::getInt(char const* path, int defaultValue) {
  TiXmlNode* node = find(path);
  if (node == nullptr) return defaultValue;
  TiXmlNode* child = node->FirstChild();
  if (child == nullptr) return defaultValue;

  long value = strtol(child->Value(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

char const* XmlConfig::getText(char const* path) { return getText(path, nullptr); }

char const* XmlConfig::getText(char const* path, char const* defaultValue) {
  TiXmlNode* node = find(path);
  if (node == nullptr) return defaultValue;
  TiXmlNode* child = node->FirstChild();
  if (child == nullptr) return defaultValue;
  return child->Value();
}

int XmlConfig::setInt(char const* path, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return setText(path, text);
}

int XmlConfig::setText(char const* path, char const* text) {
  if (path == nullptr || text == nullptr) return -1;
  TiXmlNode* node = findOrCreate(path);
  if (node == nullptr) return -1;

  while (TiXmlNode* child = node->FirstChild()) node->RemoveChild(child);
  node->LinkEndChild(new TiXmlText(text));
  return 0;
}

void XmlConfig::remove(char const* path) {
  if (path == nullptr) return;
  TiXmlNode* node = find(path);
  if (node == nullptr) return;
  TiXmlNode* parent = node->Parent();
  if (parent != nullptr) parent->RemoveChild(node);
}
