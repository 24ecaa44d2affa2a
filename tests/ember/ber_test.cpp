// BER values as Ember+ writes them, and malformed BER refused without reading past the bytes.
#include "ember/ber.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

bool read_one(const QByteArray& bytes, ber::Element& e) {
    ber::Reader r{QByteArrayView(bytes)};
    QString error;
    return r.next(e, error) && r.at_end();
}

TEST(Ber, IntegersAreMinimalTwosComplement) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "020100"},
        {127, "02017f"},
        {128, "02020080"},
        {-1, "0201ff"},
        {-128, "020180"},
        {-129, "0202ff7f"},
        {std::numeric_limits<int64_t>::max(), "02087fffffffffffffff"},
        {std::numeric_limits<int64_t>::min(), "02088000000000000000"},
    };
    for (const auto& [value, hex] : cases) {
        ber::Writer w;
        w.integer(value);
        const QByteArray bytes = w.take();
        EXPECT_EQ(bytes.toHex().toStdString(), hex) << value;
        ber::Element e;
        int64_t back = 0;
        QString error;
        ASSERT_TRUE(read_one(bytes, e) && ber::read_integer(e, back, error)) << hex;
        EXPECT_EQ(back, value);
    }
}

TEST(Ber, RealsReadAsNodeEmberplusWritesThemAndRoundTrip) {
    // node-emberplus 3.0.8 leaves the mantissa unshortened (and mislabels exponents of two bytes, so its
    // numbers stay within one); Ember+ reads the exponent as the leading bit's.
    const std::pair<const char*, double> from_node[] = {
        {"0909800118000000000000", 3.0},
        {"0909c00114000000000000", -2.5},
        {"090980fc1999999999999a", 0.1},
        {"0900", 0.0},
        {"090140", INFINITY},
        {"090141", -INFINITY},
    };
    for (const auto& [hex, value] : from_node) {
        ber::Element e;
        double back = 1;
        QString error;
        ASSERT_TRUE(read_one(QByteArray::fromHex(hex), e) && ber::read_real(e, back, error)) << hex;
        EXPECT_EQ(back, value) << hex;
    }
    // Shortened as Ember+ writes it: 3 = 0b11 with its leading bit at 2^1.
    ber::Writer w;
    w.real(3.0);
    EXPECT_EQ(w.take().toHex().toStdString(), "0903800103");
    for (const double value : {1.0, -2.5, 0.1, 1e300, -1e-300, 5e-324, std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::min(), -0.0, double(INFINITY), double(NAN)}) {
        w.real(value);
        ber::Element e;
        double back = 1;
        QString error;
        ASSERT_TRUE(read_one(w.take(), e) && ber::read_real(e, back, error)) << value;
        if (std::isnan(value))
            EXPECT_TRUE(std::isnan(back));
        else
            EXPECT_EQ(back, value);
    }
}

// Reads every element and every primitive value it knows, as deep as the elements go.
bool walk(ber::Reader& r, QString& error) {
    while (!r.at_end()) {
        ber::Element e;
        if (!r.next(e, error))
            return false;
        if (e.tag.constructed) {
            ber::Reader inner;
            if (!r.enter(e, inner, error) || !walk(inner, error))
                return false;
            continue;
        }
        int64_t i;
        double d;
        std::vector<int32_t> oid;
        if ((e.tag == ber::universal(ber::type::integer) && !ber::read_integer(e, i, error)) ||
            (e.tag == ber::universal(ber::type::real) && !ber::read_real(e, d, error)) ||
            (e.tag == ber::universal(ber::type::relative_oid) && !ber::read_relative_oid(e, oid, error)))
            return false;
    }
    return true;
}

QByteArray nested(int levels) {
    ber::Writer w;
    for (int i = 0; i < levels; ++i)
        w.open(ber::universal(ber::type::sequence));
    return w.take();
}

TEST(Ber, RefusesMalformedInput) {
    const QByteArray deep = QByteArray::fromHex("3080").repeated(ber::max_depth + 1) +
                            QByteArray::fromHex("0000").repeated(ber::max_depth + 1);
    const QByteArray deepest = nested(ber::max_depth);
    ber::Reader limit{QByteArrayView(deepest)};
    QString error;
    ASSERT_TRUE(walk(limit, error)) << error.toStdString();
    const QByteArray deep_definite = nested(ber::max_depth + 1);
    const std::pair<const char*, QByteArray> cases[] = {
        {"a length beyond the bytes", QByteArray::fromHex("020501")},
        {"a nine-byte length", QByteArray::fromHex("0289010000000000000000")},
        {"an indefinite primitive", QByteArray::fromHex("02800000")},
        {"no end-of-contents", QByteArray::fromHex("3080020100")},
        {"an end-of-contents at the top", QByteArray::fromHex("0000")},
        {"a cut-off tag", QByteArray::fromHex("3f81")},
        {"nesting too deep, indefinite", deep},
        {"nesting too deep, definite", deep_definite},
        {"an empty INTEGER", QByteArray::fromHex("0200")},
        {"a nine-byte INTEGER", QByteArray::fromHex("0209010000000000000000")},
        {"a RELATIVE-OID cut off", QByteArray::fromHex("0d020181")},
        {"a RELATIVE-OID beyond int32", QByteArray::fromHex("0d058880808000")},
        {"a REAL of base 16", QByteArray::fromHex("0903a00101")},
        {"a REAL without mantissa", QByteArray::fromHex("09028001")},
    };
    for (const auto& [what, bytes] : cases) {
        ber::Reader r{QByteArrayView(bytes)};
        error.clear();
        EXPECT_FALSE(walk(r, error)) << what;
        EXPECT_FALSE(error.isEmpty()) << what;
    }
}

} // namespace
