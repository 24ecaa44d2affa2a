// Glow: the requests read from a consumer's root, the qualified elements written in answer.
#include "ember/glow.h"

#include "ember/ber.h"

#include <limits>

namespace glow {

namespace {

namespace tag {
constexpr uint32_t root = 0, parameter = 1, command = 2, node = 3, element_collection = 4,
                   qualified_parameter = 9, qualified_node = 10, root_element_collection = 11, matrix = 13,
                   connection = 16, qualified_matrix = 17, label = 18;
}

using ber::application;
using ber::context;
using ber::Element;

struct Decoder {
    std::vector<Request>& out;
    QString& error;

    bool fail(const QString& what) {
        error = what;
        return false;
    }

    // The one element inside an explicit tag, with the reader it came from.
    bool inner(const ber::Reader& r, const Element& wrapper, ber::Reader& in, Element& e) {
        if (!r.enter(wrapper, in, error))
            return false;
        if (in.at_end())
            return fail(QStringLiteral("an empty member [%1]").arg(wrapper.tag.number));
        if (!in.next(e, error))
            return false;
        if (!in.at_end())
            return fail(QStringLiteral("more than one element in member [%1]").arg(wrapper.tag.number));
        return true;
    }

    bool int32_member(const ber::Reader& r, const Element& wrapper, int32_t low, int32_t high, int32_t& value,
                      const char* what) {
        ber::Reader in;
        Element e;
        int64_t v = 0;
        if (!inner(r, wrapper, in, e) || !ber::read_integer(e, v, error))
            return false;
        if (v < low || v > high)
            return fail(
                QStringLiteral("%1 of %2, not %3 to %4").arg(QLatin1String(what)).arg(v).arg(low).arg(high));
        value = static_cast<int32_t>(v);
        return true;
    }

    // A root: the Root itself, or what node-emberplus and others send in its place (its collection, or
    // bare elements).
    bool root(QByteArrayView data) {
        ber::Reader top(data);
        if (top.at_end())
            return fail(QStringLiteral("an empty Glow message"));
        while (!top.at_end()) {
            Element e;
            if (!top.next(e, error))
                return false;
            if (e.tag == application(tag::root)) {
                ber::Reader in;
                if (!top.enter(e, in, error))
                    return false;
                while (!in.at_end()) {
                    Element c;
                    if (!in.next(c, error))
                        return false;
                    // Streams and invocation results are a provider's to send.
                    if (c.tag == application(tag::root_element_collection) && !collection(in, c, {}))
                        return false;
                }
            } else if (e.tag == application(tag::root_element_collection)) {
                if (!collection(top, e, {}))
                    return false;
            } else if (e.tag == context(0)) {
                ber::Reader in;
                Element el;
                if (!inner(top, e, in, el) || !element(in, el, {}))
                    return false;
            } else if (e.tag.cls == ber::Class::application && e.tag.constructed) {
                if (!element(top, e, {}))
                    return false;
            } else {
                return fail(QStringLiteral("not a Glow root (tag class %1, number %2)")
                                .arg(static_cast<int>(e.tag.cls))
                                .arg(e.tag.number));
            }
        }
        return true;
    }

    // A RootElementCollection or ElementCollection: each element inside a [0].
    bool collection(const ber::Reader& r, const Element& c, const Path& parent) {
        ber::Reader items;
        if (!r.enter(c, items, error))
            return false;
        while (!items.at_end()) {
            Element item;
            if (!items.next(item, error))
                return false;
            if (item.tag != context(0))
                continue;
            ber::Reader in;
            Element e;
            if (!inner(items, item, in, e) || !element(in, e, parent))
                return false;
        }
        return true;
    }

    bool element(const ber::Reader& r, const Element& e, const Path& parent) {
        if (e.tag.cls != ber::Class::application)
            return true;
        const uint32_t t = e.tag.number;
        if (t == tag::command)
            return command(r, e, parent);
        const bool qualified =
            t == tag::qualified_node || t == tag::qualified_parameter || t == tag::qualified_matrix;
        const bool parameter = t == tag::parameter || t == tag::qualified_parameter;
        const bool matrix = t == tag::matrix || t == tag::qualified_matrix;
        if (!qualified && !parameter && !matrix && t != tag::node)
            return true; // functions, templates: nothing a consumer asks of this provider

        ber::Reader members;
        if (!r.enter(e, members, error))
            return false;
        Path path;
        bool addressed = false;
        std::optional<Element> contents, children, connections;
        while (!members.at_end()) {
            Element m;
            if (!members.next(m, error))
                return false;
            if (m.tag == context(0)) {
                if (qualified) {
                    ber::Reader in;
                    Element oid;
                    if (!inner(members, m, in, oid) || !ber::read_relative_oid(oid, path, error))
                        return false;
                    if (path.empty())
                        return fail(QStringLiteral("a qualified element with an empty path"));
                } else {
                    int32_t number = 0;
                    if (!int32_member(members, m, 0, std::numeric_limits<int32_t>::max(), number,
                                      "an element number"))
                        return false;
                    path = parent;
                    path.push_back(number);
                }
                addressed = true;
            } else if (m.tag == context(1)) {
                contents = m;
            } else if (m.tag == context(2)) {
                children = m;
            } else if (m.tag == context(5) && matrix) {
                connections = m;
            }
        }
        if (!addressed)
            return fail(qualified ? QStringLiteral("a qualified element without its path")
                                  : QStringLiteral("an element without its number"));
        if (contents && parameter && !value(members, *contents, path))
            return false;
        if (connections && !matrix_connections(members, *connections, path))
            return false;
        if (children) {
            ber::Reader in;
            Element c;
            if (!inner(members, *children, in, c))
                return false;
            if (c.tag != application(tag::element_collection))
                return fail(QStringLiteral("children that are not an ElementCollection"));
            if (!collection(in, c, path))
                return false;
        }
        return true;
    }

    bool command(const ber::Reader& r, const Element& e, const Path& path) {
        ber::Reader members;
        if (!r.enter(e, members, error))
            return false;
        std::optional<int32_t> number;
        while (!members.at_end()) {
            Element m;
            if (!members.next(m, error))
                return false;
            if (m.tag == context(0)) {
                int32_t n = 0;
                if (!int32_member(members, m, std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max(), n, "a command number"))
                    return false;
                number = n;
            }
            // [1] the fields a GetDirectory wants: this provider sends them all. [2] an invocation.
        }
        if (!number)
            return fail(QStringLiteral("a command without its number"));
        const auto c = static_cast<CommandNumber>(*number);
        if (c == CommandNumber::get_directory || c == CommandNumber::subscribe ||
            c == CommandNumber::unsubscribe)
            out.push_back({Request::Kind::command, path, c, {}, {}});
        return true;
    }

    // A parameter's contents: a value there is a request to set it.
    bool value(const ber::Reader& r, const Element& wrapper, const Path& path) {
        ber::Reader in;
        Element set;
        if (!inner(r, wrapper, in, set))
            return false;
        if (set.tag != ber::universal(ber::type::set))
            return fail(QStringLiteral("parameter contents that are not a SET"));
        ber::Reader members;
        if (!in.enter(set, members, error))
            return false;
        while (!members.at_end()) {
            Element m;
            if (!members.next(m, error))
                return false;
            if (m.tag != context(2))
                continue;
            ber::Reader vin;
            Element v;
            if (!inner(members, m, vin, v))
                return false;
            Value value;
            if (v.tag == ber::universal(ber::type::integer)) {
                int64_t i = 0;
                if (!ber::read_integer(v, i, error))
                    return false;
                value = i;
            } else if (v.tag == ber::universal(ber::type::real)) {
                double d = 0;
                if (!ber::read_real(v, d, error))
                    return false;
                value = d;
            } else if (v.tag == ber::universal(ber::type::utf8_string)) {
                QString s;
                if (!ber::read_utf8(v, s, error))
                    return false;
                value = s;
            } else if (v.tag == ber::universal(ber::type::boolean)) {
                bool b = false;
                if (!ber::read_boolean(v, b, error))
                    return false;
                value = b;
            } else {
                continue; // octets or null: no parameter here takes them
            }
            out.push_back({Request::Kind::set_value, path, CommandNumber::get_directory, value, {}});
        }
        return true;
    }

    bool matrix_connections(const ber::Reader& r, const Element& wrapper, const Path& path) {
        ber::Reader in;
        Element seq;
        if (!inner(r, wrapper, in, seq))
            return false;
        if (seq.tag != ber::universal(ber::type::sequence))
            return fail(QStringLiteral("matrix connections that are not a SEQUENCE"));
        ber::Reader items;
        if (!in.enter(seq, items, error))
            return false;
        std::vector<Connection> connections;
        while (!items.at_end()) {
            Element item;
            if (!items.next(item, error))
                return false;
            if (item.tag != context(0))
                continue;
            ber::Reader cin;
            Element c;
            if (!inner(items, item, cin, c))
                return false;
            if (c.tag != application(tag::connection))
                continue;
            connections.emplace_back();
            if (!connection(cin, c, connections.back()))
                return false;
        }
        // A GetDirectory on a matrix from node-emberplus carries an empty connection list.
        if (!connections.empty())
            out.push_back(
                {Request::Kind::connect, path, CommandNumber::get_directory, {}, std::move(connections)});
        return true;
    }

    bool connection(const ber::Reader& r, const Element& e, Connection& c) {
        ber::Reader members;
        if (!r.enter(e, members, error))
            return false;
        bool has_target = false;
        while (!members.at_end()) {
            Element m;
            if (!members.next(m, error))
                return false;
            int32_t n = 0;
            if (m.tag == context(0)) {
                if (!int32_member(members, m, std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max(), c.target, "a connection target"))
                    return false;
                has_target = true;
            } else if (m.tag == context(1)) {
                ber::Reader in;
                Element oid;
                if (!inner(members, m, in, oid) || !ber::read_relative_oid(oid, c.sources, error))
                    return false;
            } else if (m.tag == context(2)) {
                if (!int32_member(members, m, 0, 2, n, "a connection operation"))
                    return false;
                c.operation = static_cast<ConnectionOperation>(n);
            } else if (m.tag == context(3)) {
                if (!int32_member(members, m, 0, 3, n, "a connection disposition"))
                    return false;
                c.disposition = static_cast<ConnectionDisposition>(n);
            }
        }
        if (!has_target)
            return fail(QStringLiteral("a matrix connection without its target"));
        return true;
    }
};

// Writes one member [n] of a contents set, when it is there.
template <typename T, typename Put>
void member(ber::Writer& w, uint32_t n, const std::optional<T>& v, Put put) {
    if (!v)
        return;
    w.open(context(n));
    put(*v);
    w.close();
}

void put_value(ber::Writer& w, uint32_t n, const Value& value) {
    if (std::holds_alternative<std::monostate>(value))
        return;
    w.open(context(n));
    if (const auto* i = std::get_if<int64_t>(&value))
        w.integer(*i);
    else if (const auto* d = std::get_if<double>(&value))
        w.real(*d);
    else if (const auto* s = std::get_if<QString>(&value))
        w.utf8(*s);
    else
        w.boolean(std::get<bool>(value));
    w.close();
}

// The element's [1] contents: a SET of the members written by `put`, left out when there are none.
template <typename Put> void contents(ber::Writer& w, Put put) {
    ber::Writer members;
    put(members);
    const QByteArray bytes = members.take();
    if (bytes.isEmpty())
        return;
    w.open(context(1));
    w.open(ber::universal(ber::type::set));
    w.raw(bytes);
    w.close();
    w.close();
}

void open_element(ber::Writer& w, uint32_t t, const Path& path) {
    w.open(context(0)); // of the RootElementCollection
    w.open(application(t));
    w.open(context(0));
    w.relative_oid(path);
    w.close();
}

} // namespace

bool decode_requests(const QByteArray& root, std::vector<Request>& requests, QString& error) {
    requests.clear();
    Decoder d{requests, error};
    if (!d.root(QByteArrayView(root))) {
        requests.clear();
        return false;
    }
    return true;
}

void RootWriter::node(const Path& path, const NodeContents& c) {
    ber::Writer w;
    open_element(w, tag::qualified_node, path);
    contents(w, [&](ber::Writer& m) {
        const auto utf8 = [&](const QString& s) { m.utf8(s); };
        const auto boolean = [&](bool b) { m.boolean(b); };
        member(m, 0, c.identifier, utf8);
        member(m, 1, c.description, utf8);
        member(m, 2, c.is_root, boolean);
        member(m, 3, c.is_online, boolean);
    });
    w.close();
    w.close();
    elements_.append(w.take());
}

void RootWriter::parameter(const Path& path, const ParameterContents& c) {
    ber::Writer w;
    open_element(w, tag::qualified_parameter, path);
    contents(w, [&](ber::Writer& m) {
        const auto utf8 = [&](const QString& s) { m.utf8(s); };
        const auto integer = [&](int64_t i) { m.integer(i); };
        member(m, 0, c.identifier, utf8);
        member(m, 1, c.description, utf8);
        put_value(m, 2, c.value);
        member(m, 3, c.minimum, integer);
        member(m, 4, c.maximum, integer);
        member(m, 5, c.access, [&](Access a) { m.integer(static_cast<int32_t>(a)); });
        member(m, 6, c.format, utf8);
        member(m, 7, c.enumeration, utf8);
        member(m, 9, c.is_online, [&](bool b) { m.boolean(b); });
        member(m, 13, c.type, [&](ParameterType t) { m.integer(static_cast<int32_t>(t)); });
    });
    w.close();
    w.close();
    elements_.append(w.take());
}

void RootWriter::matrix(const Path& path, const MatrixContents& c,
                        const std::vector<Connection>& connections) {
    ber::Writer w;
    open_element(w, tag::qualified_matrix, path);
    contents(w, [&](ber::Writer& m) {
        const auto utf8 = [&](const QString& s) { m.utf8(s); };
        const auto integer = [&](int32_t i) { m.integer(i); };
        member(m, 0, c.identifier, utf8);
        member(m, 1, c.description, utf8);
        if (c.with_type) {
            member(m, 2, std::optional<int32_t>(0), integer); // oneToN
            member(m, 3, std::optional<int32_t>(0), integer); // linear
        }
        member(m, 4, c.target_count, integer);
        member(m, 5, c.source_count, integer);
        member(m, 6, c.maximum_total_connects, integer);
        member(m, 7, c.maximum_connects_per_target, integer);
        if (!c.labels.empty()) {
            m.open(context(10));
            m.open(ber::universal(ber::type::sequence));
            for (const Label& label : c.labels) {
                m.open(context(0));
                m.open(application(tag::label));
                m.open(context(0));
                m.relative_oid(label.base_path);
                m.close();
                m.open(context(1));
                m.utf8(label.description);
                m.close();
                m.close();
                m.close();
            }
            m.close();
            m.close();
        }
    });
    if (!connections.empty()) {
        w.open(context(5));
        w.open(ber::universal(ber::type::sequence));
        for (const Connection& con : connections) {
            w.open(context(0));
            w.open(application(tag::connection));
            w.open(context(0));
            w.integer(con.target);
            w.close();
            w.open(context(1));
            w.relative_oid(con.sources);
            w.close();
            // Absolute is what a connection without an operation means.
            if (con.operation != ConnectionOperation::absolute) {
                w.open(context(2));
                w.integer(static_cast<int32_t>(con.operation));
                w.close();
            }
            if (con.disposition) {
                w.open(context(3));
                w.integer(static_cast<int32_t>(*con.disposition));
                w.close();
            }
            w.close();
            w.close();
        }
        w.close();
        w.close();
    }
    w.close();
    w.close();
    elements_.append(w.take());
}

void RootWriter::command(const Path& path, CommandNumber number) {
    const auto put_command = [&](ber::Writer& w) {
        w.open(context(0)); // an item of its collection
        w.open(application(tag::command));
        w.open(context(0));
        w.integer(static_cast<int32_t>(number));
        w.close();
        w.close();
        w.close();
    };
    ber::Writer w;
    if (path.empty()) {
        put_command(w);
    } else {
        // As consumers address a node: the node, its children holding the command.
        open_element(w, tag::qualified_node, path);
        w.open(context(2));
        w.open(application(tag::element_collection));
        put_command(w);
        w.close();
        w.close();
        w.close();
        w.close();
    }
    elements_.append(w.take());
}

QByteArray RootWriter::finish() {
    ber::Writer w;
    w.open(application(tag::root));
    w.open(application(tag::root_element_collection));
    w.raw(elements_);
    w.close();
    w.close();
    elements_.clear();
    return w.take();
}

} // namespace glow
