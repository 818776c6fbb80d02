// XmlConfig: a settings store over one XML document, addressed by
// slash-separated element paths such as "/sys/audio".
//
// Paths are split on "/" (runs of slashes count as one, leading and trailing
// slashes are ignored) and each component is matched byte for byte against
// the value of a node: an element's name, a text node's or comment's text.
// The first match in document order wins. A path is split in a 512-byte
// working copy, so it holds at most 511 characters; a longer path names
// nothing.
//
// Every parse and load reads the text as plain bytes (TIXML_ENCODING_LEGACY).
// Nodes and texts handed out are borrowed from the document and stay valid
// until that node is deleted; the text returned by print() stays valid until
// the next print() or the store's destruction.
//
// One process-wide mutex guards path resolution only; callers sharing one
// store between threads serialise all operations on it themselves.
#ifndef OSTRA_XML_CONFIG_HH
#define OSTRA_XML_CONFIG_HH

#include <pthread.h>
#include <tinyxml.h>

class XmlConfig {
public:
  // An empty store.
  XmlConfig();
  // A store holding the parsed text; a parse failure is kept in the
  // document's error state.
  explicit XmlConfig(char const* text);
  ~XmlConfig();

  XmlConfig(XmlConfig const&) = delete;
  XmlConfig& operator=(XmlConfig const&) = delete;

  // Replaces the document with the file's content. True when the file was
  // read and parsed without error. The store is emptied first, so a file
  // that cannot be opened leaves it empty.
  bool load(char const* fileName);
  // Writes the document to the file and commits it to storage. True when
  // the file was written without a stream error.
  bool save(char const* fileName);
  // Replaces the document with the parsed text; the library's parse result
  // (null on failure).
  char const* parse(char const* text);
  // Deletes every node; the document's value and error state remain.
  void clear();

  // The whole document rendered with one tab per level and "\n" line ends.
  char const* print();
  // The node rendered the same way; null for a null node.
  char const* print(TiXmlNode const* node);

  TiXmlDocument* document();

  // The node that the path names, or null.
  TiXmlNode* find(char const* path);

  // The first child's value of the named node read as a decimal number
  // (strtol rules, clamped to 32 bits); defaultValue when the path names
  // nothing or the node has no children.
  int getInt(char const* path, int defaultValue);
  // The first child's value of the named node; null (or defaultValue)
  // when the path names nothing or the node has no children.
  char const* getText(char const* path);
  char const* getText(char const* path, char const* defaultValue);

  // Replace the named node's children (creating missing elements on the
  // way) with one text node. 0 when done, -1 when refused.
  int setInt(char const* path, int value);
  int setText(char const* path, char const* text);

  // Deletes the named node with its subtree.
  void remove(char const* path);

private:
  TiXmlNode* findOrCreate(char const* path);
  // The node a path names; with 'create', missing elements are appended on
  // the way. Takes the path mutex once, for the whole walk.
  TiXmlNode* resolve(char const* path, bool create);

  TiXmlDocument fDocument;
  TiXmlPrinter fPrinter;

  // Guards path splitting (strtok keeps process-wide state) and the tree
  // walk of find() and findOrCreate(); shared by every store.
  static pthread_mutex_t xmlPathMutex;
};

#endif
