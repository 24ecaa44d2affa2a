// Glow, the data of Ember+: the elements of a provider's tree as BER, and the requests a consumer sends.
// Only what a provider of parameters, nodes and one-to-N matrices needs.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace glow {

using Path = std::vector<int32_t>; // element numbers from the root
using Value = std::variant<std::monostate, int64_t, double, QString, bool>;

enum class CommandNumber : int32_t { subscribe = 30, unsubscribe = 31, get_directory = 32 };
enum class ParameterType : int32_t { integer = 1, real = 2, string = 3, boolean = 4, enumeration = 6 };
enum class Access : int32_t { none = 0, read = 1, write = 2, read_write = 3 };
enum class ConnectionOperation : int32_t { absolute = 0, connect = 1, disconnect = 2 };
enum class ConnectionDisposition : int32_t { tally = 0, modified = 1, pending = 2, locked = 3 };

struct Connection {
    int32_t target = 0;
    std::vector<int32_t> sources;
    ConnectionOperation operation = ConnectionOperation::absolute;
    std::optional<ConnectionDisposition> disposition;
};

// What a consumer asks, one request per element addressed.
struct Request {
    enum class Kind { command, set_value, connect };
    Kind kind = Kind::command;
    Path path;                                            // the element (empty: the root)
    CommandNumber command = CommandNumber::get_directory; // command
    Value value;                                          // set_value
    std::vector<Connection> connections;                  // connect: on the matrix at `path`
};

// One Glow root as consumers send it, in qualified or nested form, with commands, parameter values and
// matrix connections. False, with `error`, when it is not such Glow (nothing of it is to be acted on);
// elements and members it does not know are read past.
bool decode_requests(const QByteArray& root, std::vector<Request>& requests, QString& error);

// The members of each element; those left empty are not sent (an update carries only what changed).
struct NodeContents {
    std::optional<QString> identifier;
    std::optional<QString> description;
    std::optional<bool> is_root;
    std::optional<bool> is_online;
};
struct ParameterContents {
    std::optional<QString> identifier;
    std::optional<QString> description;
    Value value; // monostate: not sent
    std::optional<int64_t> minimum;
    std::optional<int64_t> maximum;
    std::optional<Access> access;
    std::optional<QString> format;      // such as "%d dB"
    std::optional<QString> enumeration; // the names, '\n' between them; the value is the index
    std::optional<bool> is_online;
    std::optional<ParameterType> type;
};
struct Label {
    Path base_path; // a node with children "targets" (1) and "sources" (2): a string parameter each
    QString description;
};
struct MatrixContents {
    std::optional<QString> identifier;
    std::optional<QString> description;
    std::optional<int32_t> target_count; // one-to-N, linear addressing: targets and sources 0..count-1
    std::optional<int32_t> source_count;
    std::optional<int32_t> maximum_total_connects;
    std::optional<int32_t> maximum_connects_per_target;
    std::vector<Label> labels;
    bool with_type = false; // type oneToN and addressing mode linear, with the first answer
};

// A Glow root of elements in qualified form (each with its whole path), as a provider answers and
// announces.
class RootWriter {
public:
    void node(const Path& path, const NodeContents& contents);
    void parameter(const Path& path, const ParameterContents& contents);
    // With `connections` its state (or the change); targets and sources are not listed (linear).
    void matrix(const Path& path, const MatrixContents& contents, const std::vector<Connection>& connections);
    // A command as a consumer sends it (for our own tools that play a consumer): at the root, or to
    // the node at `path`.
    void command(const Path& path, CommandNumber number);
    bool empty() const { return elements_.isEmpty(); }
    // The encoded root; the writer is empty again.
    QByteArray finish();

private:
    QByteArray elements_; // the encoded elements of the root element collection
};

} // namespace glow
