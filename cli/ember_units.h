// The units as an Ember+ tree: a node per unit under "RV-390PKTA", named by its serial, with its
// identity, its routing as a one-to-N matrix, the matrix's labels and its settings as parameters. Each
// unit has a link of its own, polled as the window polls; a consumer's change is one settings block
// written through that link with the window's rules, and the unit's own changes are announced.
#pragma once

#include "core/unit_identity.h"
#include "ember/provider.h"
#include "protocol/unit_scan.h"
#include "ui/settings_block.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class Link;
class UiHandover;
struct SettingsField;

class EmberUnits : public QObject, public EmberTree {
public:
    // `watch`: the command's own link, which only scans; it tells of units that come.
    EmberUnits(UiHandover& ui, Link& watch, bool read_only);
    ~EmberUnits() override;
    EmberUnits(const EmberUnits&) = delete;
    EmberUnits& operator=(const EmberUnits&) = delete;

    // Starts following the units connected now, and those that come later; changes go to `provider`.
    void start(EmberProvider& provider);
    // A line for the operator: a unit came, left, or a write was refused.
    std::function<void(const QString&)> on_note;

    bool directory(const glow::Path& path, glow::RootWriter& out) override;
    void set_value(const glow::Path& path, const glow::Value& value, glow::RootWriter& answer,
                   QString& why) override;
    void connect(const glow::Path& path, const std::vector<glow::Connection>& connections,
                 glow::RootWriter& answer, QString& why) override;

private:
    struct Unit;
    void add(const FoundUnit& found);
    Unit* unit_at(const glow::Path& path, std::size_t depth);
    // What changed on the unit since it was last told: its state, its settings.
    void follow(Unit& unit);
    // Writes `next` (made from the unit's block by the window's rules) unless something forbids it.
    bool write(Unit& unit, const QStringList& pairs, QString& why);
    void tell_settings(Unit& unit, const Tpar* before, glow::RootWriter& out) const;
    void unit_count(glow::RootWriter& out) const;
    void unit_node(const Unit& unit, glow::RootWriter& out) const;
    // The identity's parameters, or only the one numbered `only`.
    void identity(const Unit& unit, glow::RootWriter& out, int32_t only = 0) const;
    // Each element is sent whole, updates too: consumers take a member left out for one cleared.
    void matrix(const Unit& unit, glow::RootWriter& out) const;
    // The targets' (1) or the sources' (2) labels, or only the one numbered `only`.
    void labels(const Unit& unit, int which, glow::RootWriter& out, int only = -1) const;
    void parameter(const Unit& unit, std::size_t which, glow::RootWriter& out) const;
    bool writable(const Unit& unit) const;

    UiHandover& ui_;
    Link& watch_;
    const bool read_only_;
    EmberProvider* provider_ = nullptr;
    std::vector<std::unique_ptr<Unit>> units_; // in the order they came: their node numbers
    std::vector<const SettingsField*> fields_; // the settings as parameters, from number 4 on
    QTimer poll_;
};
