#pragma once

#include "platform/RegistryHive.h"

#include <QByteArray>
#include <QString>
#include <string_view>
#include <utility>
#include <vector>

// The only way the program touches its product key. Failures are silent: a write reports
// them only through its result, a read gives the empty text.
namespace quillon::settings::modReg {

// The one root the program uses.
enum RootKey { HKEY_LOCAL_MACHINE };

inline const QString ProductKey = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF");
inline const QString OptionsKey = ProductKey + QStringLiteral("\\options");
inline const QString BlockIpKey = ProductKey + QStringLiteral("\\block\\ip");
inline const QString BlockRpKey = ProductKey + QStringLiteral("\\block\\rp");
inline const QString BlockLpKey = ProductKey + QStringLiteral("\\block\\lp");
// The rule keys folded once, for the block decision's lookups.
inline const platform::RegistryHive::KeyPath BlockIpPath{BlockIpKey};
inline const platform::RegistryHive::KeyPath BlockRpPath{BlockRpKey};
inline const platform::RegistryHive::KeyPath BlockLpPath{BlockLpKey};

bool WriteRegString(platform::RegistryHive& hive, RootKey root, const QString& subKey,
                    const QString& name, const QString& data);

// Data of the value spelled exactly `name`, or the empty text.
QString ReadRegString(platform::RegistryHive& hive, RootKey root, const QString& subKey,
                      const QString& name);
QString ReadRegString(platform::RegistryHive& hive, RootKey root,
                      const platform::RegistryHive::KeyPath& subKey, const QString& name);

// As ReadRegString, but tells a failed read (nullopt) from a missing value (empty text), for
// the block decision, which counts a failed read as the condition met.
std::optional<QString> ReadRegStringChecked(platform::RegistryHive& hive, RootKey root,
                                            const QString& subKey, const QString& name);
std::optional<QString> ReadRegStringChecked(platform::RegistryHive& hive, RootKey root,
                                            const platform::RegistryHive::KeyPath& subKey,
                                            const QString& name);

// Appends to `list` the name of every value whose data equals `marker`, in enumeration order.
// `list` is anything with addItem(QString) (a list box), append(QString) or push_back(QString).
template <typename List>
QString FillListFromKey(platform::RegistryHive& hive, RootKey, const QString& subKey, List& list,
                        const QString& marker) {
    // Values come one at a time: a key of a hundred thousand rules is never held whole
    // beside the list it fills.
    const QByteArray markerUtf8 = marker.toUtf8();
    const std::string_view markerBytes(markerUtf8.constData(),
                                       static_cast<size_t>(markerUtf8.size()));
    hive.forEachValue(subKey, [&](std::string_view nameUtf8, std::string_view data) {
        if (data != markerBytes) {
            return;
        }
        const QString name =
            QString::fromUtf8(nameUtf8.data(), static_cast<qsizetype>(nameUtf8.size()));
        if constexpr (requires { list.addItem(name); }) {
            list.addItem(name);
        } else if constexpr (requires { list.append(name); }) {
            list.append(name);
        } else {
            list.push_back(name);
        }
    });
    return {};
}

void DeleteRegValue(platform::RegistryHive& hive, RootKey root, const QString& subKey,
                    const QString& name);

} // namespace quillon::settings::modReg
