// BER reading and writing for Glow.
#include "ember/ber.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace ber {

namespace {

struct Header {
    Tag tag;
    bool indefinite = false;
    qsizetype length = 0; // definite
    qsizetype size = 0;   // of the identifier and length octets
};

uint8_t byte_at(QByteArrayView data, qsizetype at) {
    return static_cast<uint8_t>(data[at]);
}

// The identifier and length octets at `at`; a definite length is checked against the bytes there are.
bool read_header(QByteArrayView data, qsizetype at, Header& h, QString& error) {
    qsizetype p = at;
    if (p >= data.size()) {
        error = QStringLiteral("an element is cut off in its tag");
        return false;
    }
    const uint8_t first = byte_at(data, p++);
    h.tag.cls = static_cast<Class>(first >> 6);
    h.tag.constructed = (first & 0x20) != 0;
    h.tag.number = first & 0x1F;
    if (h.tag.number == 0x1F) {
        // High tag numbers, seven bits a byte; four bytes are more than any Glow tag needs.
        uint32_t number = 0;
        for (int i = 0;; ++i) {
            if (p >= data.size()) {
                error = QStringLiteral("an element is cut off in its tag");
                return false;
            }
            if (i == 4) {
                error = QStringLiteral("a tag number longer than four bytes");
                return false;
            }
            const uint8_t b = byte_at(data, p++);
            number = number << 7 | (b & 0x7F);
            if ((b & 0x80) == 0)
                break;
        }
        h.tag.number = number;
    }
    if (p >= data.size()) {
        error = QStringLiteral("an element is cut off before its length");
        return false;
    }
    const uint8_t l = byte_at(data, p++);
    h.indefinite = l == 0x80;
    uint64_t length = l;
    if (h.indefinite) {
        if (!h.tag.constructed) {
            error = QStringLiteral("an indefinite length on a primitive element");
            return false;
        }
        length = 0;
    } else if (l > 0x80) {
        const int n = l & 0x7F;
        if (n > 8) {
            error = QStringLiteral("a length of %1 bytes").arg(n);
            return false;
        }
        if (data.size() - p < n) {
            error = QStringLiteral("an element is cut off in its length");
            return false;
        }
        length = 0;
        for (int i = 0; i < n; ++i)
            length = length << 8 | byte_at(data, p++);
    }
    if (length > static_cast<uint64_t>(data.size() - p)) {
        error = QStringLiteral("a length of %1 bytes where %2 are left").arg(length).arg(data.size() - p);
        return false;
    }
    h.length = static_cast<qsizetype>(length);
    h.size = p - at;
    return true;
}

bool is_end_of_contents(const Header& h) {
    return h.tag == Tag{} && !h.indefinite;
}

bool expect(const Element& e, uint32_t universal_type, const char* name, QString& error) {
    if (e.tag != Tag{Class::universal, false, universal_type}) {
        error = QStringLiteral("expected %1").arg(QLatin1String(name));
        return false;
    }
    return true;
}

int signed_length(int64_t value) {
    int n = 1;
    while (n < 8 && (value < -(int64_t{1} << (8 * n - 1)) || value >= (int64_t{1} << (8 * n - 1))))
        ++n;
    return n;
}

} // namespace

bool Reader::next(Element& element, QString& error) {
    Header h;
    if (!read_header(data_, pos_, h, error))
        return false;
    if (is_end_of_contents(h)) {
        error = QStringLiteral("an end-of-contents out of place");
        return false;
    }
    const qsizetype start = pos_ + h.size;
    if (!h.indefinite) {
        element = {h.tag, data_.sliced(start, h.length)};
        pos_ = start + h.length;
        return true;
    }
    // An indefinite length ends at the end-of-contents of its own level: walk the elements inside,
    // counting the indefinite ones still open.
    int open = 1;
    qsizetype p = start;
    while (open > 0) {
        if (depth_ + open > max_depth) {
            error = QStringLiteral("elements nested deeper than %1 levels").arg(max_depth);
            return false;
        }
        if (p >= data_.size()) {
            error = QStringLiteral("an indefinite length without its end-of-contents");
            return false;
        }
        Header inner;
        if (!read_header(data_, p, inner, error))
            return false;
        if (is_end_of_contents(inner)) {
            if (inner.length != 0) {
                error = QStringLiteral("an end-of-contents with contents");
                return false;
            }
            if (--open == 0)
                element = {h.tag, data_.sliced(start, p - start)};
        } else if (inner.indefinite) {
            ++open;
        }
        p += inner.size + inner.length;
    }
    pos_ = p;
    return true;
}

bool Reader::enter(const Element& element, Reader& inner, QString& error) const {
    if (!element.tag.constructed) {
        error = QStringLiteral("a primitive element where a constructed one belongs");
        return false;
    }
    if (depth_ + 1 > max_depth) {
        error = QStringLiteral("elements nested deeper than %1 levels").arg(max_depth);
        return false;
    }
    inner = Reader(element.content, depth_ + 1);
    return true;
}

bool read_integer(const Element& element, int64_t& value, QString& error) {
    if (!expect(element, type::integer, "an INTEGER", error))
        return false;
    const QByteArrayView c = element.content;
    if (c.isEmpty() || c.size() > 8) {
        error = QStringLiteral("an INTEGER of %1 bytes").arg(c.size());
        return false;
    }
    // Two's complement: the first byte carries the sign.
    uint64_t u = (byte_at(c, 0) & 0x80) ? ~uint64_t{0} : 0;
    for (qsizetype i = 0; i < c.size(); ++i)
        u = u << 8 | byte_at(c, i);
    value = static_cast<int64_t>(u);
    return true;
}

bool read_real(const Element& element, double& value, QString& error) {
    if (!expect(element, type::real, "a REAL", error))
        return false;
    const QByteArrayView c = element.content;
    if (c.isEmpty()) {
        value = 0.0;
        return true;
    }
    const uint8_t preamble = byte_at(c, 0);
    if ((preamble & 0x80) == 0) {
        if ((preamble & 0x40) == 0 || c.size() != 1 || preamble > 0x43) {
            error = QStringLiteral("a REAL in decimal form or an unknown special value");
            return false;
        }
        constexpr double specials[] = {std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(),
                                       std::numeric_limits<double>::quiet_NaN(), -0.0};
        value = specials[preamble & 0x03];
        return true;
    }
    if ((preamble & 0x30) != 0) {
        error = QStringLiteral("a REAL of base 8 or 16");
        return false;
    }
    qsizetype p = 1;
    qsizetype exponent_length = (preamble & 0x03) + 1;
    if (exponent_length == 4) {
        if (c.size() < 2) {
            error = QStringLiteral("a REAL cut off in its exponent");
            return false;
        }
        exponent_length = byte_at(c, p++);
    }
    if (exponent_length < 1 || exponent_length > 8 || c.size() - p < exponent_length + 1) {
        error = QStringLiteral("a REAL whose exponent or mantissa does not fit it");
        return false;
    }
    uint64_t e = (byte_at(c, p) & 0x80) ? ~uint64_t{0} : 0;
    for (qsizetype i = 0; i < exponent_length; ++i)
        e = e << 8 | byte_at(c, p++);
    uint64_t mantissa = 0;
    for (; p < c.size(); ++p) {
        if (mantissa >> 56) {
            error = QStringLiteral("a REAL with a mantissa longer than 64 bits");
            return false;
        }
        mantissa = mantissa << 8 | byte_at(c, p);
    }
    const bool negative = (preamble & 0x40) != 0;
    if (mantissa == 0) {
        value = negative ? -0.0 : 0.0;
        return true;
    }
    // Ember+ takes the exponent for that of the mantissa's leading bit, whatever the mantissa's length
    // or scale factor. Far beyond the range of a double the value is an infinity or 0 anyway.
    const int64_t exponent = std::clamp(static_cast<int64_t>(e), int64_t{-100000}, int64_t{100000});
    const int leading = 63 - std::countl_zero(mantissa);
    const double magnitude = std::ldexp(static_cast<double>(mantissa), static_cast<int>(exponent) - leading);
    value = negative ? -magnitude : magnitude;
    return true;
}

bool read_boolean(const Element& element, bool& value, QString& error) {
    if (!expect(element, type::boolean, "a BOOLEAN", error))
        return false;
    if (element.content.size() != 1) {
        error = QStringLiteral("a BOOLEAN of %1 bytes").arg(element.content.size());
        return false;
    }
    value = byte_at(element.content, 0) != 0;
    return true;
}

bool read_utf8(const Element& element, QString& value, QString& error) {
    if (!expect(element, type::utf8_string, "a UTF8String", error))
        return false;
    value = QString::fromUtf8(element.content);
    return true;
}

bool read_relative_oid(const Element& element, std::vector<int32_t>& value, QString& error) {
    if (!expect(element, type::relative_oid, "a RELATIVE-OID", error))
        return false;
    value.clear();
    uint64_t component = 0;
    bool pending = false;
    for (const char ch : element.content) {
        const auto b = static_cast<uint8_t>(ch);
        component = component << 7 | (b & 0x7F);
        if (component > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            error = QStringLiteral("a RELATIVE-OID component beyond 2147483647");
            return false;
        }
        pending = (b & 0x80) != 0;
        if (!pending) {
            value.push_back(static_cast<int32_t>(component));
            component = 0;
        }
    }
    if (pending) {
        error = QStringLiteral("a RELATIVE-OID cut off in a component");
        return false;
    }
    return true;
}

void Writer::put_tag(Tag tag) {
    const uint8_t head =
        static_cast<uint8_t>(static_cast<uint8_t>(tag.cls) << 6 | (tag.constructed ? 0x20 : 0));
    if (tag.number < 0x1F) {
        out_.append(static_cast<char>(head | tag.number));
        return;
    }
    out_.append(static_cast<char>(head | 0x1F));
    int groups = 1;
    while (groups < 5 && (tag.number >> (7 * groups)) != 0)
        ++groups;
    for (int i = groups - 1; i >= 0; --i)
        out_.append(static_cast<char>(((tag.number >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0)));
}

void Writer::put_length(qsizetype length) {
    if (length < 0x80) {
        out_.append(static_cast<char>(length));
        return;
    }
    int n = 1;
    while (n < 8 && (static_cast<uint64_t>(length) >> (8 * n)) != 0)
        ++n;
    out_.append(static_cast<char>(0x80 | n));
    for (int i = n - 1; i >= 0; --i)
        out_.append(static_cast<char>(static_cast<uint64_t>(length) >> (8 * i)));
}

void Writer::open(Tag tag) {
    tag.constructed = true;
    put_tag(tag);
    open_.push_back(out_.size());
}

void Writer::close() {
    if (open_.empty())
        return;
    const qsizetype start = open_.back();
    open_.pop_back();
    // The length goes in front of the contents written since open().
    QByteArray contents = out_.sliced(start);
    out_.truncate(start);
    put_length(contents.size());
    out_.append(contents);
}

void Writer::integer(int64_t value) {
    put_tag(universal(type::integer));
    const int n = signed_length(value);
    put_length(n);
    for (int i = n - 1; i >= 0; --i)
        out_.append(static_cast<char>(static_cast<uint64_t>(value) >> (8 * i)));
}

void Writer::real(double value) {
    put_tag(universal(type::real));
    if (value == 0.0) { // -0.0 too: Ember+ readers take a one-byte -0 for a cut-off number
        put_length(0);
        return;
    }
    if (std::isnan(value) || std::isinf(value)) {
        put_length(1);
        out_.append(static_cast<char>(std::isnan(value) ? 0x42 : value > 0 ? 0x40 : 0x41));
        return;
    }
    int e = 0;
    const double fraction = std::frexp(std::fabs(value), &e); // [0.5, 1)
    auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    mantissa >>= std::countr_zero(mantissa);
    const int64_t exponent = e - 1; // of the leading bit
    const int exponent_length = signed_length(exponent);
    const int mantissa_length = (64 - std::countl_zero(mantissa) + 7) / 8;
    put_length(1 + exponent_length + mantissa_length);
    out_.append(static_cast<char>(0x80 | (value < 0 ? 0x40 : 0) | (exponent_length - 1)));
    for (int i = exponent_length - 1; i >= 0; --i)
        out_.append(static_cast<char>(static_cast<uint64_t>(exponent) >> (8 * i)));
    for (int i = mantissa_length - 1; i >= 0; --i)
        out_.append(static_cast<char>(mantissa >> (8 * i)));
}

void Writer::boolean(bool value) {
    put_tag(universal(type::boolean));
    put_length(1);
    out_.append(static_cast<char>(value ? 0xFF : 0x00));
}

void Writer::utf8(const QString& value) {
    const QByteArray bytes = value.toUtf8();
    put_tag(universal(type::utf8_string));
    put_length(bytes.size());
    out_.append(bytes);
}

void Writer::relative_oid(const std::vector<int32_t>& value) {
    QByteArray bytes;
    for (const int32_t component : value) {
        const auto u = static_cast<uint32_t>(std::max(component, 0));
        int groups = 1;
        while (groups < 5 && (u >> (7 * groups)) != 0)
            ++groups;
        for (int i = groups - 1; i >= 0; --i)
            bytes.append(static_cast<char>(((u >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0)));
    }
    put_tag(universal(type::relative_oid));
    put_length(bytes.size());
    out_.append(bytes);
}

QByteArray Writer::take() {
    while (!open_.empty())
        close();
    QByteArray out;
    out.swap(out_);
    return out;
}

} // namespace ber
