#include "core/settings/Switches.h"

#include "core/settings/modReg.h"

#include <array>

namespace quillon::settings {

namespace {

struct SwitchRow {
    Switch which;
    const char16_t* name;
    const char16_t* defaultValue;
};

// The value names are the ones earlier versions stored; the list mode's is the caption of
// the toolbar button that sets it.
constexpr std::array<SwitchRow, 6> kSwitches{{
    {Switch::WarnSys, u"warnsys", u"0"},
    {Switch::WarnExit, u"warnexit", u"0"},
    {Switch::Level, u"seclvl", u"2"},
    {Switch::Subnet, u"subnet", u"0"},
    {Switch::ListMode, u"所有连接", u"0"},
    {Switch::Ipv6, u"ipv6", u"1"},
}};

const SwitchRow& row(Switch which) {
    return kSwitches[static_cast<size_t>(which)];
}

} // namespace

static_assert([] {
    for (size_t i = 0; i < kSwitches.size(); ++i) {
        if (static_cast<size_t>(kSwitches[i].which) != i) {
            return false;
        }
    }
    return true;
}());

QString Switches::valueName(Switch which) {
    return QString::fromUtf16(row(which).name);
}

QString Switches::defaultValue(Switch which) {
    return QString::fromUtf16(row(which).defaultValue);
}

QString Switches::read(Switch which) const {
    return modReg::ReadRegString(hive_, modReg::HKEY_LOCAL_MACHINE, modReg::OptionsKey,
                                 valueName(which));
}

bool Switches::write(Switch which, const QString& data) {
    return modReg::WriteRegString(hive_, modReg::HKEY_LOCAL_MACHINE, modReg::OptionsKey,
                                  valueName(which), data);
}

bool Switches::isOn(Switch which) const {
    return read(which) == QLatin1String("1");
}

bool Switches::writeOn(Switch which, bool on) {
    return write(which, on ? QStringLiteral("1") : QStringLiteral("0"));
}

void Switches::load() {
    subnet_ = read(Switch::Subnet) == QLatin1String("1");
    bool isNumber = false;
    const int stored = read(Switch::Level).trimmed().toInt(&isNumber);
    level_ = isNumber && stored >= kLevelHigh && stored <= kLevelLow
                 ? stored
                 : defaultValue(Switch::Level).toInt();
    ipv6_ = read(Switch::Ipv6) != QLatin1String("0");
    loaded_ = true;
}

void Switches::ensureLoaded() {
    if (!loaded_) {
        load();
    }
}

bool Switches::subnet() {
    ensureLoaded();
    return subnet_;
}

void Switches::setSubnet(bool on) {
    ensureLoaded();
    subnet_ = on;
    writeOn(Switch::Subnet, on);
}

int Switches::level() {
    ensureLoaded();
    return level_;
}

void Switches::setLevel(int level) {
    ensureLoaded();
    if (level >= kLevelHigh && level <= kLevelLow) {
        level_ = level;
    }
    write(Switch::Level, QString::number(level));
}

bool Switches::ipv6() {
    ensureLoaded();
    return ipv6_;
}

void Switches::setIpv6(bool on) {
    ensureLoaded();
    ipv6_ = on;
    writeOn(Switch::Ipv6, on);
}

bool Switches::warnSysSilenced() const {
    return isOn(Switch::WarnSys);
}

bool Switches::setWarnSysSilenced(bool silenced) {
    return writeOn(Switch::WarnSys, silenced);
}

bool Switches::warnExitSilenced() const {
    return isOn(Switch::WarnExit);
}

bool Switches::setWarnExitSilenced(bool silenced) {
    return writeOn(Switch::WarnExit, silenced);
}

bool Switches::listeningHidden() const {
    return isOn(Switch::ListMode);
}

bool Switches::setListeningHidden(bool hidden) {
    return writeOn(Switch::ListMode, hidden);
}

} // namespace quillon::settings
