#include "core/settings/modReg.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QtTest>

using quillon::platform::RegistryHive;
using namespace quillon::settings::modReg;

namespace {

// A list with the list box's add-item call, like the console's rule lists.
struct ItemList {
    QStringList items;
    void addItem(const QString& s) { items << s; }
};

} // namespace

class TestModReg : public QObject {
    Q_OBJECT

private:
    quillon::test::ScratchFolder m_dir;
    QString freshPath() { return m_dir.fresh(QStringLiteral("h%1.db")); }

private slots:
    void aLookupInAMissingKeyIsEmptyAndCreatesNothing() {
        RegistryHive hive(freshPath());
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "seclvl", "2"));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1"), QString());
        QCOMPARE(ReadRegStringChecked(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1"),
                 std::optional<QString>(QString()));
        QVERIFY(!hive.keyExists(BlockIpKey));
        QVERIFY(!hive.keyExists(ProductKey + QStringLiteral("\\block")));
    }

    void aLookupSpelledInAnotherCaseIsEmpty() {
        RegistryHive hive(freshPath());
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "subnet", "1"));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "subnet"), "1");
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "Subnet"), QString());
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "SUBNET"), QString());
        // The key path itself is not case-sensitive.
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey.toLower(), "subnet"), "1");
    }

    void writingCreatesTheProductKeyAndEveryKeyBetween() {
        RegistryHive hive(freshPath());
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockRpKey, "8080", "1"));
        QVERIFY(hive.keyExists(u"SOFTWARE"));
        QVERIFY(hive.keyExists(u"SOFTWARE\\Larkspire Works"));
        QVERIFY(hive.keyExists(ProductKey));
        QVERIFY(hive.keyExists(ProductKey + QStringLiteral("\\block")));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockRpKey, "8080"), "1");
        // Chinese value names, as the toolbar's switch uses.
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "所有连接", "1"));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, OptionsKey, "所有连接"), "1");
    }

    void theOtherVerdictReplacesTheFirst() {
        RegistryHive hive(freshPath());
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", "0"));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", "1"));
        std::vector<std::pair<QString, QString>> values;
        QVERIFY(hive.values(BlockIpKey, values));
        QCOMPARE(values.size(), size_t(1));
        QCOMPARE(values[0], (std::pair<QString, QString>("10.0.0.1", "1")));
    }

    void deletingFromAMissingKeyCreatesItEmpty() {
        RegistryHive hive(freshPath());
        DeleteRegValue(hive, HKEY_LOCAL_MACHINE, BlockLpKey, "135");
        QVERIFY(hive.keyExists(BlockLpKey));
        std::vector<std::pair<QString, QString>> values;
        QVERIFY(hive.values(BlockLpKey, values));
        QVERIFY(values.empty());

        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockLpKey, "135", "1"));
        DeleteRegValue(hive, HKEY_LOCAL_MACHINE, BlockLpKey, "135");
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockLpKey, "135"), QString());
    }

    void fillListTakesTheMarkedNamesInEnumerationOrder() {
        RegistryHive hive(freshPath());
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", "1"));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.2", "0"));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.3", "1"));
        // Replacing data keeps the place: 10.0.0.1 stays first.
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", "1"));

        QStringList list{"kept"}; // the list is not cleared first
        QCOMPARE(FillListFromKey(hive, HKEY_LOCAL_MACHINE, BlockIpKey, list, "1"), QString());
        QCOMPARE(list, (QStringList{"kept", "10.0.0.1", "10.0.0.3"}));

        ItemList box;
        FillListFromKey(hive, HKEY_LOCAL_MACHINE, BlockIpKey, box, "0");
        QCOMPARE(box.items, QStringList{"10.0.0.2"});

        std::vector<QString> vec;
        FillListFromKey(hive, HKEY_LOCAL_MACHINE, BlockRpKey, vec, "1"); // missing key
        QVERIFY(vec.empty());
        QVERIFY(!hive.keyExists(BlockRpKey));
    }

    // A value with a long name stored before the others hides none of them, from lookups
    // or from the lists.
    void aLongNameHidesNothing() {
        RegistryHive hive(freshPath());
        const QString longName = QString(300, u'9');
        const QString longData = QString(1000, u'1');
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, longName, "1"));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", longData));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.2", "1"));
        QVERIFY(WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.3", "0"));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, longName), "1");
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1"), longData);
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.2"), "1");
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.3"), "0");
        QStringList list;
        FillListFromKey(hive, HKEY_LOCAL_MACHINE, BlockIpKey, list, "1");
        QCOMPARE(list, (QStringList{longName, "10.0.0.2"}));
    }

    // A hive that cannot be read is told apart from a missing value, and never written.
    void anUnreadableHiveFailsQuietly() {
        const QString path = freshPath();
        QVERIFY(quillon::test::writeFile(path, QByteArray(10000, 'j')));
        RegistryHive hive(path);
        QVERIFY(!WriteRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1", "1"));
        QCOMPARE(ReadRegString(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1"), QString());
        QCOMPARE(ReadRegStringChecked(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1"),
                 std::nullopt);
        DeleteRegValue(hive, HKEY_LOCAL_MACHINE, BlockIpKey, "10.0.0.1");
        QStringList list;
        FillListFromKey(hive, HKEY_LOCAL_MACHINE, BlockIpKey, list, "1");
        QVERIFY(list.isEmpty());
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray(10000, 'j'));
    }
};

QTEST_GUILESS_MAIN(TestModReg)
#include "test_modReg.moc"
