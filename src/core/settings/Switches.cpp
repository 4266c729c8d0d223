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

namespace {

int levelOf(const QString& stored) {
    bool isNumber = false;
    const int level = stored.trimmed().toInt(&isNumber);
    return isNumber && level >= Switches::kLevelHigh && level <= Switches::kLevelLow
               ? level
               : Switches::defaultValue(Switch::Level).toInt();
}

} // namespace

void Switches::load() {
    subnet_ = read(Switch::Subnet) == QLatin1String("1");
    level_ = levelOf(read(Switch::Level));
    ipv6_ = read(Switch::Ipv6) != QLatin1String("0");
    loaded_ = true;
}

void Switches::follow() {
    if (!loaded_) {
        return; // read when first asked for anyway
    }
    const auto stored = [this](Switch which) {
        return modReg::ReadRegStringChecked(hive_, modReg::HKEY_LOCAL_MACHINE, modReg::OptionsKey,
                                            valueName(which));
    };
    if (const auto subnet = stored(Switch::Subnet)) {
        subnet_ = *subnet == QLatin1String("1");
    }
    if (const auto level = stored(Switch::Level)) {
        level_ = levelOf(*level);
    }
    if (const auto ipv6 = stored(Switch::Ipv6)) {
        ipv6_ = *ipv6 != QLatin1String("0");
    }
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
