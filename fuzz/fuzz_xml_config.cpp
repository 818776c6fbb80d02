// The XML settings store on arbitrary documents and paths.
//
// Input: XML text, then optionally a NUL byte and operations, one a line:
//   g<path>          getText         i<path>         getInt
//   s<path>=<text>   setText         n<path>=<num>   setInt
//   r<path>          remove          f<path>         find, then print the node
//   p                print the document
// An upper-case letter stretches the path, by repeating it, to 500..600
// characters (the working copy holds 511). Without operations a fixed set
// runs, including paths around that limit.
//
// Checked besides memory safety: printing twice gives the same text, a path
// too long names nothing and sets nothing, a set on a usable path succeeds
// and reads back, and the printed document parses again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "XmlConfig.hh"

namespace {

constexpr size_t kLongestPath = 511;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// True when strtok with "/" finds at least one component.
bool hasComponent(std::string const& path) { return path.find_first_not_of('/') != std::string::npos; }

std::string stretched(std::string_view path, size_t length) {
  if (path.empty()) path = "a/";
  std::string s;
  s.reserve(length);
  while (s.size() < length) s.append(path.substr(0, length - s.size()));
  return s;
}

void printTwice(XmlConfig& config) {
  char const* first = config.print();
  check(first != nullptr);
  std::string const copy(first);
  char const* second = config.print();
  check(second != nullptr && copy == second);
  // What the store prints, a store can parse without harm.
  XmlConfig again;
  again.parse(copy.c_str());
  (void)again.print();
}

void setAndReadBack(XmlConfig& config, std::string const& path, std::string const& text) {
  int const result = config.setText(path.c_str(), text.c_str());
  bool const usable = path.size() <= kLongestPath && hasComponent(path);
  check(result == (usable ? 0 : -1));
  if (result != 0) return;
  char const* read = config.getText(path.c_str());
  check(read != nullptr && text == read);
}

void run(XmlConfig& config, char op, std::string const& path, std::string const& arg) {
  bool const usable = path.size() <= kLongestPath && hasComponent(path);
  switch (op) {
    case 'g': {
      char const* text = config.getText(path.c_str(), "default");
      if (!usable) check(text != nullptr && std::strcmp(text, "default") == 0);
      break;
    }
    case 'i': {
      int const v = config.getInt(path.c_str(), -7);
      if (!usable) check(v == -7);
      break;
    }
    case 's':
      setAndReadBack(config, path, arg);
      break;
    case 'n': {
      int const v = static_cast<int>(std::strtol(arg.c_str(), nullptr, 10));
      int const result = config.setInt(path.c_str(), v);
      check(result == (usable ? 0 : -1));
      if (result == 0) check(config.getInt(path.c_str(), v ^ 1) == v);
      break;
    }
    case 'r':
      config.remove(path.c_str());
      break;
    case 'f': {
      TiXmlNode* node = config.find(path.c_str());
      if (!usable) check(node == nullptr);
      (void)config.print(node);
      break;
    }
    case 'p':
      printTwice(config);
      break;
    default:
      break;
  }
}

void runDefaults(XmlConfig& config) {
  (void)config.getInt("/sys/audio", 0);
  (void)config.getText("sys/audio");
  printTwice(config);
  std::string const longest = stretched("/sys", kLongestPath);
  std::string const tooLong = stretched("/sys", kLongestPath + 1);
  check(config.find(tooLong.c_str()) == nullptr);
  setAndReadBack(config, longest, "1");
  setAndReadBack(config, tooLong, "1");
  setAndReadBack(config, stretched("//sys//audio/", 600), "2");
  setAndReadBack(config, "//sys//audio/", "3");
  check(config.getInt("/sys/audio", 0) == 3);
  printTwice(config);
  config.remove(longest.c_str());
  config.remove("/sys");
  printTwice(config);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::string_view const input(reinterpret_cast<char const*>(data), size);
  size_t const nul = input.find('\0');
  std::string const xml(input.substr(0, nul));

  XmlConfig config;
  (void)config.parse(xml.c_str());
  if (nul == std::string_view::npos) {
    runDefaults(config);
    return 0;
  }

  std::string_view ops = input.substr(nul + 1);
  unsigned count = 0;
  while (!ops.empty() && count++ < 64) {
    size_t const eol = ops.find('\n');
    std::string_view line = ops.substr(0, eol);
    ops.remove_prefix(eol == std::string_view::npos ? ops.size() : eol + 1);
    if (line.empty()) continue;
    char op = line.front();
    line.remove_prefix(1);
    size_t const eq = line.find('=');
    std::string path(line.substr(0, eq));
    std::string arg(eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1));
    // Text after a NUL never reaches the store.
    path.resize(std::strlen(path.c_str()));
    arg.resize(std::strlen(arg.c_str()));
    if (op >= 'A' && op <= 'Z') {
      op = static_cast<char>(op - 'A' + 'a');
      size_t const length = 500 + (path.size() * 31 + arg.size()) % 101;
      path = stretched(path, length);
    }
    run(config, op, path, arg);
  }
  printTwice(config);
  return 0;
}
