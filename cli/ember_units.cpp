// The tree's numbers: RV-390PKTA is 1; under it "units" (how many) is 0 and the units are 1, 2, … in
// the order they came; under each unit
// identity 1, routing 2, the routing's labels 3, then the settings from 4 in the settings table's order.
#include "cli/ember_units.h"

#include "cli/settings_fields.h"
#include "core/instance_channel.h"
#include "core/timings.h"
#include "core/ui_handover.h"
#include "protocol/link.h"
#include "ui/settings_table.h"
#include "ui/source_names.h"

#include <algorithm>

namespace {
constexpr int32_t root_number = 1;
constexpr int32_t count_number = 0; // "units", beside the units' nodes 1, 2, …
constexpr int32_t identity_number = 1;
constexpr int32_t routing_number = 2;
constexpr int32_t labels_number = 3;
constexpr int32_t first_setting = 4;
constexpr int32_t targets_number = 1; // under the labels, as consumers look for them
constexpr int32_t sources_number = 2;
constexpr int outputs = 8;
constexpr int source_count = 20;

bool is_level(const SettingsField& f) {
    return f.is_signed; // analog_gain, zero_db, headroom: numbers in dB
}

// The value a consumer sees: the index in the enumeration, or the number.
int64_t shown_value(const SettingsField& f, const Tpar& p) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&p);
    const int stored = f.is_signed ? int(int8_t(bytes[f.offset])) : int(bytes[f.offset]);
    return f.names.empty() && !f.from_one ? stored : stored - f.low;
}

QString enumeration(const SettingsField& f) {
    QStringList names;
    if (!f.names.empty())
        for (const char* n : f.names)
            names << QLatin1String(n);
    else
        for (int v = f.low; v <= f.high; ++v)
            names << QString::number(v + 1);
    return names.join(QLatin1Char('\n'));
}

std::optional<int64_t> integral(const glow::Value& value) {
    if (const auto* i = std::get_if<int64_t>(&value))
        return *i;
    if (const auto* d = std::get_if<double>(&value); d && *d == double(int64_t(*d)))
        return int64_t(*d);
    if (const auto* b = std::get_if<bool>(&value))
        return *b ? 1 : 0;
    return std::nullopt;
}
} // namespace

struct EmberUnits::Unit {
    int32_t number = 0;
    QString serial;
    std::unique_ptr<Link> link;
    UnitIdentity identity;
    std::optional<Tpar> told; // the settings consumers have been told
    bool online = false;
    bool boot = false;
    glow::Path path(std::initializer_list<int32_t> below = {}) const {
        glow::Path p{root_number, number};
        p.insert(p.end(), below.begin(), below.end());
        return p;
    }
};

EmberUnits::EmberUnits(UiHandover& ui, Link& watch, bool read_only)
    : ui_(ui), watch_(watch), read_only_(read_only) {
    for (const SettingsField& f : settings_table())
        if (!QLatin1String(f.key).startsWith(QLatin1String("source")))
            fields_.push_back(&f);
}

EmberUnits::~EmberUnits() {
    for (const auto& unit : units_) {
        unit->link->thr.Terminate();
        unit->link->thr.WaitFor();
        unit->link->usb_shutdown();
    }
}

void EmberUnits::start(EmberProvider& provider) {
    provider_ = &provider;
    QObject::connect(&watch_, &Link::units_found, this, [this](const std::vector<FoundUnit>& found) {
        for (const FoundUnit& f : found)
            add(f);
    });
    for (const FoundUnit& f : scan_units(watch_.hid))
        add(f);
    QObject::connect(&poll_, &QTimer::timeout, this, [this] {
        for (const auto& unit : units_) {
            unit->link->poll_settings();
            follow(*unit);
        }
    });
    poll_.start(timings::settings_poll);
}

void EmberUnits::add(const FoundUnit& found) {
    const QString serial = found.identity.serial.isEmpty() ? found.identity.path : found.identity.serial;
    if (std::any_of(units_.begin(), units_.end(), [&](const auto& u) { return u->serial == serial; }))
        return;
    if (!found.can_open) {
        if (on_note)
            on_note(cannot_open_note(found));
        return;
    }
    auto unit = std::make_unique<Unit>();
    unit->number = static_cast<int32_t>(units_.size()) + 1;
    unit->serial = serial;
    unit->identity = found.identity;
    unit->link = std::make_unique<Link>(ui_);
    Link& link = *unit->link;
    QString why;
    if (!link.usb_load(why)) {
        if (on_note)
            on_note(QStringLiteral("%1: Не удалось инициализировать USB! %2").arg(serial, why));
        return;
    }
    Unit* u = unit.get();
    QObject::connect(&link, &Link::refresh, this, [this, u] {
        (void)u->link->gate.refreshed();
        follow(*u);
    });
    QObject::connect(&link, &Link::unit_identity, this, [u](const UnitIdentity& id) {
        if (!id.serial.isEmpty())
            u->identity = id;
    });
    // Followed by serial: a unit plugged back may come with another path.
    link.choose_unit(serial);
    link.thr.Start();
    units_.push_back(std::move(unit));
    link.usb_connect();
    if (on_note)
        on_note(QStringLiteral("%1: блок добавлен в дерево Ember+ (узел %2)").arg(serial).arg(u->number));
    glow::RootWriter out;
    unit_count(out);
    unit_node(*u, out);
    provider_->announce(out);
}

EmberUnits::Unit* EmberUnits::unit_at(const glow::Path& path, std::size_t depth) {
    if (path.size() < depth || path[0] != root_number || path[1] < 1 || std::size_t(path[1]) > units_.size())
        return nullptr;
    return units_[std::size_t(path[1]) - 1].get();
}

bool EmberUnits::writable(const Unit& unit) const {
    return !read_only_ && unit.online && !unit.boot;
}

void EmberUnits::unit_count(glow::RootWriter& out) const {
    glow::ParameterContents c;
    c.identifier = QStringLiteral("units");
    c.description = QStringLiteral("Блоков в дереве");
    c.value = int64_t(units_.size());
    c.access = glow::Access::read;
    c.type = glow::ParameterType::integer;
    out.parameter({root_number, count_number}, c);
}

void EmberUnits::unit_node(const Unit& unit, glow::RootWriter& out) const {
    out.node(unit.path(),
             {unit.serial, QStringLiteral("RV-390PKTA %1").arg(unit.serial), std::nullopt, unit.online});
}

void EmberUnits::identity(const Unit& unit, glow::RootWriter& out, int32_t only) const {
    const QString values[] = {unit.identity.serial, unit.identity.product, unit.identity.version,
                              unit.boot ? QStringLiteral("boot_loader") : QStringLiteral("normal")};
    const char* names[] = {"serial", "product", "version", "mode"};
    for (int32_t i = 0; i < 4; ++i) {
        if (only > 0 && only != i + 1)
            continue;
        glow::ParameterContents c;
        c.identifier = QLatin1String(names[i]);
        c.value = values[i];
        c.access = glow::Access::read;
        c.type = glow::ParameterType::string;
        out.parameter(unit.path({identity_number, i + 1}), c);
    }
}

void EmberUnits::matrix(const Unit& unit, glow::RootWriter& out) const {
    glow::MatrixContents c;
    {
        c.identifier = QStringLiteral("routing");
        c.description = QStringLiteral("Источники выходов SDI");
        c.target_count = outputs;
        c.source_count = source_count;
        c.maximum_total_connects = outputs;
        c.maximum_connects_per_target = 1;
        c.labels = {{unit.path({labels_number}), QStringLiteral("Primary")}};
        c.with_type = true;
    }
    std::vector<glow::Connection> connections;
    if (unit.told)
        for (int t = 0; t < outputs; ++t)
            connections.push_back({t,
                                   {unit.told->src[t]},
                                   glow::ConnectionOperation::absolute,
                                   glow::ConnectionDisposition::tally});
    out.matrix(unit.path({routing_number}), c, connections);
}

void EmberUnits::labels(const Unit& unit, int which, glow::RootWriter& out, int only) const {
    const Tpar p = unit.told.value_or(default_par);
    const QStringList sources = source_names(p.group[0], p.group[1]);
    const int count = which == targets_number ? outputs : source_count;
    for (int i = 0; i < count; ++i) {
        if (only >= 0 && only != i)
            continue;
        glow::ParameterContents c;
        c.identifier = QStringLiteral("%1%2").arg(which == targets_number ? "t" : "s").arg(i);
        c.value = which == targets_number
                      ? QStringLiteral("SDI#%1").arg(output_channel(p.group[0], p.group[1], i))
                      : sources.value(i);
        c.access = glow::Access::read;
        c.type = glow::ParameterType::string;
        out.parameter(unit.path({labels_number, which, i}), c);
    }
}

void EmberUnits::parameter(const Unit& unit, std::size_t which, glow::RootWriter& out) const {
    const SettingsField& f = *fields_[which];
    glow::ParameterContents c;
    {
        c.identifier = QLatin1String(f.key);
        if (*f.label)
            c.description = QString::fromUtf8(f.label);
        if (f.names.empty() && !f.from_one) {
            c.type = glow::ParameterType::integer;
            c.minimum = f.low;
            c.maximum = f.high;
            if (is_level(f))
                c.format = QStringLiteral("%d dB");
        } else {
            c.type = glow::ParameterType::enumeration;
            c.enumeration = enumeration(f);
        }
    }
    if (unit.told)
        c.value = shown_value(f, *unit.told);
    c.access = writable(unit) ? glow::Access::read_write : glow::Access::read;
    out.parameter(unit.path({first_setting + int32_t(which)}), c);
}

void EmberUnits::tell_settings(Unit& unit, const Tpar* before, glow::RootWriter& out) const {
    const Tpar& now = *unit.told;
    for (std::size_t i = 0; i < fields_.size(); ++i)
        if (!before || shown_value(*fields_[i], *before) != shown_value(*fields_[i], now))
            parameter(unit, i, out);
    const bool groups = !before || before->group[0] != now.group[0] || before->group[1] != now.group[1];
    if (groups || !std::equal(std::begin(now.src), std::end(now.src), std::begin(before->src)))
        matrix(unit, out);
    // Other groups: other channels on the outputs, and other SDI sources in the list.
    if (groups) {
        labels(unit, targets_number, out);
        labels(unit, sources_number, out);
    }
}

void EmberUnits::follow(Unit& unit) {
    glow::RootWriter out;
    const bool online = unit.link->is_open();
    const bool boot = unit.link->in_boot_loader();
    if (online != unit.online || boot != unit.boot) {
        unit.online = online;
        unit.boot = boot;
        unit_node(unit, out);
        identity(unit, out);
        // Writable or not, now.
        for (std::size_t i = 0; i < fields_.size(); ++i)
            parameter(unit, i, out);
        if (on_note)
            on_note(QStringLiteral("%1: %2").arg(unit.serial, !online ? QStringLiteral("блок отключён")
                                                              : boot
                                                                  ? QStringLiteral("блок в режиме загрузчика")
                                                                  : QStringLiteral("блок на связи")));
    }
    if (online && !boot && unit.link->gate.valid()) {
        Tpar now = unit.link->par.get();
        sanitise(now);
        if (!unit.told || to_bytes(*unit.told) != to_bytes(now)) {
            if (!unit.told && on_note)
                on_note(
                    QStringLiteral("%1: настройки блока получены, его параметры в дереве").arg(unit.serial));
            const std::optional<Tpar> before = unit.told;
            unit.told = now;
            tell_settings(unit, before ? &*before : nullptr, out);
        }
    }
    provider_->announce(out);
}

bool EmberUnits::write(Unit& unit, const QStringList& pairs, QString& why) {
    if (read_only_)
        why = QStringLiteral("запись запрещена (--read-only)");
    else if (!unit.online)
        why = QStringLiteral("блок отключён");
    else if (unit.boot)
        why = QStringLiteral("блок в режиме загрузчика");
    else if (!unit.link->gate.valid() || !unit.told)
        why = QStringLiteral("блок ещё не прислал своих настроек");
    else if (instance_running())
        why = QStringLiteral("окно программы rv390pkta запущено: пока оно открыто, запись только из окна");
    if (!why.isEmpty())
        return false;
    const settings_fields::Change change = settings_fields::apply(*unit.told, pairs);
    if (!change.errors.isEmpty()) {
        why = change.errors.join(QStringLiteral("; "));
        return false;
    }
    // One block through the link, as the window writes it; consumers hear of it at once, and of the
    // unit's own answer when it differs.
    unit.link->par.edit([&](Tpar& p) { p = change.block; });
    unit.link->save();
    glow::RootWriter out;
    const Tpar before = *unit.told;
    unit.told = change.block;
    sanitise(*unit.told);
    tell_settings(unit, &before, out);
    provider_->announce(out);
    return true;
}

bool EmberUnits::directory(const glow::Path& path, glow::RootWriter& out) {
    if (path.empty()) {
        out.node({root_number},
                 {QStringLiteral("RV-390PKTA"), QStringLiteral("Блоки RV-390PKTA"), true, true});
        return true;
    }
    if (path == glow::Path{root_number}) {
        // Never an empty node, which a consumer could not tell from no answer: the count comes first.
        unit_count(out);
        for (const auto& unit : units_)
            unit_node(*unit, out);
        return true;
    }
    if (path == glow::Path{root_number, count_number}) {
        unit_count(out);
        return true;
    }
    Unit* unit = unit_at(path, 2);
    if (!unit)
        return false;
    const auto at = [&](std::initializer_list<int32_t> below) { return path == unit->path(below); };
    if (at({})) {
        out.node(unit->path({identity_number}), {QStringLiteral("identity"), QStringLiteral("Блок"), {}, {}});
        matrix(*unit, out);
        out.node(unit->path({labels_number}),
                 {QStringLiteral("labels"), QStringLiteral("Подписи коммутации"), {}, {}});
        for (std::size_t i = 0; i < fields_.size(); ++i)
            parameter(*unit, i, out);
    } else if (at({identity_number})) {
        identity(*unit, out);
    } else if (at({routing_number})) {
        matrix(*unit, out);
    } else if (at({labels_number})) {
        out.node(unit->path({labels_number, targets_number}), {QStringLiteral("targets"), {}, {}, {}});
        out.node(unit->path({labels_number, sources_number}), {QStringLiteral("sources"), {}, {}, {}});
    } else if (at({labels_number, targets_number}) || at({labels_number, sources_number})) {
        labels(*unit, path[3], out);
    } else if (path.size() == 4 && path[2] == identity_number && path[3] >= 1 && path[3] <= 4) {
        identity(*unit, out, path[3]); // a parameter answers with itself
    } else if (path.size() == 5 && path[2] == labels_number &&
               (path[3] == targets_number ? path[4] < outputs
                                          : path[3] == sources_number && path[4] < source_count) &&
               path[4] >= 0) {
        labels(*unit, path[3], out, path[4]);
    } else if (path.size() == 3 && path[2] >= first_setting &&
               std::size_t(path[2] - first_setting) < fields_.size()) {
        parameter(*unit, std::size_t(path[2] - first_setting), out);
    } else {
        return false;
    }
    return true;
}

void EmberUnits::set_value(const glow::Path& path, const glow::Value& value, glow::RootWriter& answer,
                           QString& why) {
    Unit* unit = unit_at(path, 3);
    if (!unit || path.size() != 3 || path[2] < first_setting ||
        std::size_t(path[2] - first_setting) >= fields_.size()) {
        why = QStringLiteral("этот элемент только для чтения");
        if (unit && path.size() == 4 && path[2] == identity_number)
            identity(*unit, answer);
        return;
    }
    const std::size_t which = std::size_t(path[2] - first_setting);
    const SettingsField& f = *fields_[which];
    const std::optional<int64_t> v = integral(value);
    QString pair;
    if (!v)
        why = QStringLiteral("%1: нужно целое число").arg(QLatin1String(f.key));
    else if (!f.names.empty() && (*v < 0 || *v >= int64_t(f.names.size())))
        why = QStringLiteral("%1: в перечислении нет значения %2").arg(QLatin1String(f.key)).arg(*v);
    else if (!f.names.empty())
        pair = QStringLiteral("%1=%2").arg(QLatin1String(f.key), QLatin1String(f.names[std::size_t(*v)]));
    else
        pair = QStringLiteral("%1=%2").arg(QLatin1String(f.key)).arg(f.from_one ? *v + 1 : *v);
    if (why.isEmpty())
        (void)write(*unit, {pair}, why);
    parameter(*unit, which, answer); // the value now: taken, or kept
}

void EmberUnits::connect(const glow::Path& path, const std::vector<glow::Connection>& connections,
                         glow::RootWriter& answer, QString& why) {
    Unit* unit = unit_at(path, 3);
    if (!unit || path != unit->path({routing_number})) {
        why = QStringLiteral("здесь нет коммутации");
        return;
    }
    QStringList pairs;
    for (const glow::Connection& c : connections) {
        if (c.target < 0 || c.target >= outputs)
            why = QStringLiteral("выхода %1 нет: выходы 0–7").arg(c.target);
        else if (c.operation == glow::ConnectionOperation::disconnect || c.sources.size() != 1)
            why = QStringLiteral("у выхода всегда один источник: подключите другой вместо него");
        else
            pairs << QStringLiteral("source%1=%2").arg(c.target + 1).arg(c.sources[0] + 1);
    }
    if (why.isEmpty())
        (void)write(*unit, pairs, why);
    matrix(*unit, answer); // the crosspoints now: changed, or as they stay
}
