// BER as Glow uses it: tags of the universal, application and context classes, definite lengths when
// writing, definite and indefinite ones when reading, and the few universal types Glow carries.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <vector>

namespace ber {

enum class Class : uint8_t { universal = 0, application = 1, context = 2, private_use = 3 };

struct Tag {
    Class cls = Class::universal;
    bool constructed = false;
    uint32_t number = 0;
    friend bool operator==(const Tag&, const Tag&) = default;
};

namespace type {
constexpr uint32_t boolean = 1, integer = 2, octet_string = 4, null = 5, real = 9, utf8_string = 12,
                   relative_oid = 13, sequence = 16, set = 17;
}

// Glow's application and context tags are always on constructed elements (its context tags are explicit).
constexpr Tag application(uint32_t number) {
    return {Class::application, true, number};
}
constexpr Tag context(uint32_t number) {
    return {Class::context, true, number};
}
constexpr Tag universal(uint32_t number) {
    return {Class::universal, number == type::sequence || number == type::set, number};
}

// How deep elements may nest in what a consumer sends; a Glow request for an element eight levels down in
// nested form needs about 40.
constexpr int max_depth = 64;

struct Element {
    Tag tag;
    QByteArrayView content; // of an indefinite length: without its end-of-contents
};

// Reads the elements of one level; a constructed element's contents are read by a reader one level deeper.
// Nothing is trusted: every length is checked against the bytes there are.
class Reader {
public:
    Reader() = default;
    explicit Reader(QByteArrayView data) : data_(data) {}
    bool at_end() const { return pos_ >= data_.size(); }
    // The next element; false, with `error`, when the bytes are not BER or nest too deep.
    bool next(Element& element, QString& error);
    // A reader of a constructed element's contents; false when that is one level too deep.
    bool enter(const Element& element, Reader& inner, QString& error) const;

private:
    Reader(QByteArrayView data, int depth) : data_(data), depth_(depth) {}
    QByteArrayView data_;
    qsizetype pos_ = 0;
    int depth_ = 0;
};

// The value of a primitive element of that universal type; false, with `error`, for another element or
// a value out of range.
bool read_integer(const Element& element, int64_t& value, QString& error);
bool read_real(const Element& element, double& value, QString& error);
bool read_boolean(const Element& element, bool& value, QString& error);
bool read_utf8(const Element& element, QString& value, QString& error);
// Each component must fit an int32_t (Glow's element numbers).
bool read_relative_oid(const Element& element, std::vector<int32_t>& value, QString& error);

// Writes elements with definite lengths; a constructed one between open() and close().
class Writer {
public:
    void open(Tag tag);
    void close();
    void integer(int64_t value);
    // As Ember+ writes REAL: base 2, the exponent that of the mantissa's leading bit.
    void real(double value);
    void boolean(bool value);
    void utf8(const QString& value);
    // Components below 0 are not element numbers; they are written as 0.
    void relative_oid(const std::vector<int32_t>& value);
    // Elements encoded already.
    void raw(const QByteArray& encoded) { out_.append(encoded); }
    // The bytes written, elements still open closed; the writer is empty again.
    QByteArray take();

private:
    void put_tag(Tag tag);
    void put_length(qsizetype length);
    QByteArray out_;
    std::vector<qsizetype> open_; // where the contents of each open element start
};

} // namespace ber
