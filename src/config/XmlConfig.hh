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
    explicit XmlConfig(const char* text);
    ~XmlConfig();

    XmlConfig(const XmlConfig&) = delete;
    XmlConfig& operator=(const XmlConfig&) = delete;

    // Replaces the document with the file's content. True when the file was
    // read and parsed without error. The store is emptied first, so a file
    // that cannot be opened leaves it empty.
    bool load(const char* fileName);
    // Writes the document to the file and commits it to storage. True when
    // the file was written without a stream error.
    bool save(const char* fileName);
    // Replaces the document with the parsed text; the library's parse result
    // (null on failure).
    const char* parse(const char* text);
    // Deletes every node; the document's value and error state remain.
    void clear();

    // The whole document rendered with one tab per level and "\n" line ends.
    const char* print();
    // The node rendered the same way; null for a null node.
    const char* print(const TiXmlNode* node);

    TiXmlDocument* document();

    // The node that the path names, or null.
    TiXmlNode* find(const char* path);

    // The first child's value of the named node read as a decimal number
    // (strtol rules, clamped to 32 bits); defaultValue when the path names
    // nothing or the node has no children.
    int getInt(const char* path, int defaultValue);
    // The first child's value of the named node; null (or defaultValue)
    // when the path names nothing or the node has no children.
    const char* getText(const char* path);
    const char* getText(const char* path, const char* defaultValue);

    // Replace the named node's children (creating missing elements on the
    // way) with one text node. 0 when done, -1 when refused.
    int setInt(const char* path, int value);
    int setText(const char* path, const char* text);

    // Deletes the named node with its subtree.
    void remove(const char* path);

private:
    TiXmlNode* findOrCreate(const char* path);
    // The node a path names; with 'create', missing elements are appended on
    // the way. Takes the path mutex once, for the whole walk.
    TiXmlNode* resolve(const char* path, bool create);

    TiXmlDocument fDocument;
    TiXmlPrinter fPrinter;

    // Guards path splitting (strtok keeps process-wide state) and the tree
    // walk of find() and findOrCreate(); shared by every store.
    static pthread_mutex_t xmlPathMutex;
};

#endif
