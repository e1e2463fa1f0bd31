// The command model of zylctl, read from the API metadata file at run time: every operation of
// the file's "cli" section is a command, its parameters are options, and structure parameters
// are also offered field by field ("--spec.key-server.type"). Also the naming rule that turns
// metadata names into command-line words, with a small table of short aliases.
#pragma once

#include <boost/json/value.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Zylctl {

// Process exit statuses (docs/zylctl.md lists them).
enum class Exit : int {
  kOk = 0,
  kUsage = 2,
  kUnauthenticated = 3,
  kUnauthorized = 4,
  kNotFound = 5,
  kInvalidArgument = 6,
  kServerError = 7,
  kConnection = 8,
};

inline constexpr size_t kMaxMetadataBytes = 4 * 1024 * 1024;
// Options of one command, counting every structure member offered on its own.
inline constexpr size_t kMaxOptionsPerCommand = 512;
inline constexpr std::string_view kNamespacePrefix = "kms.";

struct OptionSpec {
  std::string flag;               // without "--": "wrapped-key", "spec.key-server.type"
  std::string alias;              // a short form ("size"), or empty
  std::vector<std::string> path;  // JSON member names from the params object down
  boost::json::value type;        // the metadata type with any "optional" wrapper removed
  boost::json::value element;     // the type of one value: of a list's element, or type
  bool required = false;          // a parameter that is not optional
  bool repeated = false;          // a list or set: one flag per element
  bool boolean = false;           // a flag without a value
};

struct Command {
  std::string ns;                  // "kms.providers.client_certificate"
  std::vector<std::string> words;  // {"providers", "client-certificate"}
  std::string nsAlias;             // a one-word short form of the namespace, or empty
  std::string name;                // "generate-key"
  std::string alias;               // "generate", or empty
  std::string service;
  std::string operation;
  std::vector<OptionSpec> options;
  boost::json::value output;  // the result type ("metamodel" section), null when unknown
  std::vector<std::string> binaryResults;  // members of the result structure that are binary
  // Options that --blob implies when they are not given ({flag, value}): what makes the
  // operation answer with its binary member.
  std::vector<std::pair<std::string, std::string>> blobDefaults;

  std::string Method() const { return service + "." + operation; }
  std::string Path() const;  // "providers client-certificate create"
};

struct Model {
  std::vector<Command> commands;
  boost::json::object enumerations;  // name → {"values": [...]}
};

// "wrappedKey" → "wrapped-key"; a run of capitals is one word ("URLPath" → "url-path").
std::string KebabCase(std::string_view name);
// "kms.providers.client_certificate" → {"providers", "client-certificate"}.
std::vector<std::string> NamespaceWords(std::string_view ns);
// "generate_key" → "generate-key".
std::string CommandWord(std::string_view name);

// Reads and checks the metadata file (at most kMaxMetadataBytes); false with error set.
bool LoadModel(const std::string& path, Model& model, std::string& error);
// The same from the file's text.
bool BuildModel(std::string_view text, Model& model, std::string& error);

struct Resolution {
  const Command* command = nullptr;  // set when the words name one command
  size_t namespaceWords = 0;         // words that matched a namespace (for help)
  std::vector<std::string> prefix;   // the namespace words matched, canonical form
};

// Finds the command named by words: namespace words (or an alias), then the command (or its
// alias); the command may be left out when the namespace has just one.
Resolution Resolve(const Model& model, const std::vector<std::string>& words);

// The values of an enumeration type, empty when it is not one.
std::vector<std::string> EnumValues(const Model& model, const boost::json::value& type);

}  // namespace Zylctl
