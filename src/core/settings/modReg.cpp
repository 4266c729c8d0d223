#include "core/settings/modReg.h"

namespace quillon::settings::modReg {

// The root is always HKEY_LOCAL_MACHINE, which the hive stands for as a whole; the parameter
// keeps the calls shaped as the rest of the program writes them.

bool WriteRegString(platform::RegistryHive& hive, RootKey, const QString& subKey,
                    const QString& name, const QString& data) {
    return hive.setValue(subKey, name, data);
}

QString ReadRegString(platform::RegistryHive& hive, RootKey root, const QString& subKey,
                      const QString& name) {
    return ReadRegStringChecked(hive, root, subKey, name).value_or(QString());
}

QString ReadRegString(platform::RegistryHive& hive, RootKey root,
                      const platform::RegistryHive::KeyPath& subKey, const QString& name) {
    return ReadRegStringChecked(hive, root, subKey, name).value_or(QString());
}

namespace {

std::optional<QString> checked(platform::RegistryHive::Lookup found, QString& data) {
    switch (found) {
    case platform::RegistryHive::Lookup::Found:
        return std::move(data);
    case platform::RegistryHive::Lookup::Missing:
        return QString();
    case platform::RegistryHive::Lookup::Failed:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> ReadRegStringChecked(platform::RegistryHive& hive, RootKey,
                                            const QString& subKey, const QString& name) {
    QString data;
    return checked(hive.lookup(subKey, name, data), data);
}

std::optional<QString> ReadRegStringChecked(platform::RegistryHive& hive, RootKey,
                                            const platform::RegistryHive::KeyPath& subKey,
                                            const QString& name) {
    QString data;
    return checked(hive.lookup(subKey, name, data), data);
}

void DeleteRegValue(platform::RegistryHive& hive, RootKey, const QString& subKey,
                    const QString& name) {
    hive.deleteValue(subKey, name);
}

} // namespace quillon::settings::modReg
