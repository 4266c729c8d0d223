#include "platform/RegistryHive.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtTest>
#include <csignal>
#include <grp.h>
#include <sched.h>
#include <set>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using quillon::platform::RegistryHive;
using quillon::test::fileBytes;
namespace test = quillon::test;
using Values = std::vector<std::pair<QString, QString>>;

namespace {

const QString kIp = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF\\block\\ip");

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// What SQLite itself thinks of the file, through a connection of its own.
QString integrity(const QString& path) {
    sqlite3* db = nullptr;
    QString result = QStringLiteral("cannot open");
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return result;
}

QStringList names(const Values& values) {
    QStringList out;
    for (const auto& v : values) {
        out << v.first;
    }
    return out;
}

// Runs `body` in a child process and returns its exit status (0 = every check passed).
template <typename Body>
int inChild(Body&& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends a child that a failed check left waiting, so that no process outlives its test.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : m_pid(pid) {}
    ~ChildGuard() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    int wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t m_pid;
};

} // namespace

class TestRegistryHive : public QObject {
    Q_OBJECT

private:
    quillon::test::ScratchFolder m_dir;
    QString freshPath() { return m_dir.fresh(QStringLiteral("h%1/registry.db")); }

private slots:
    void readsOfAMissingHiveOrKeyCreateNothing() {
        const QString path = freshPath();
        RegistryHive hive(path);
        QString data;
        QCOMPARE(hive.lookup(kIp, u"10.0.0.1", data), RegistryHive::Lookup::Missing);
        QVERIFY(!hive.value(kIp, u"10.0.0.1"));
        Values values;
        QVERIFY(!hive.values(kIp, values));
        QVERIFY(!hive.keyExists(kIp));
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(QFileInfo(path).absolutePath()));
        QVERIFY(hive.lastError().isEmpty());

        QVERIFY(hive.setValue(u"SOFTWARE\\other", u"x", u"1"));
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(hive.lookup(kIp, u"10.0.0.1", data), RegistryHive::Lookup::Missing);
        QVERIFY(!hive.keyExists(kIp));
        QVERIFY(!hive.keyExists(u"SOFTWARE\\Larkspire Works"));
    }

    // Another object's commit is seen; reads (which, as root, have SQLite hand the log back to
    // its owner) and this object's own writes are not.
    void onlyOthersCommitsCountAsChanges() {
        const QString path = freshPath();
        RegistryHive mine(path);
        RegistryHive other(path);
        QVERIFY(mine.setValue(u"K", u"a", u"1"));
        quint64 seen = 0;
        mine.changedElsewhere(seen);
        for (int k = 0; k < 3; ++k) {
            QVERIFY(mine.value(u"K", u"a").has_value());
            QVERIFY(other.value(u"K", u"a").has_value());
            QTest::qWait(5);
            QVERIFY2(!mine.changedElsewhere(seen), "a read counted as a change");
        }
        QVERIFY(mine.setValue(u"K", u"b", u"1"));
        QVERIFY(!mine.changedElsewhere(seen));
        QVERIFY(other.setValue(u"K", u"c", u"1"));
        QVERIFY(mine.changedElsewhere(seen));
    }

    void writingCreatesTheKeysBetween() {
        RegistryHive hive(freshPath());
        QVERIFY(hive.setValue(kIp, u"10.0.0.1", u"1"));
        for (const char16_t* key :
             {u"SOFTWARE", u"SOFTWARE\\Larkspire Works", u"SOFTWARE\\Larkspire Works\\LarkPF",
              u"SOFTWARE\\Larkspire Works\\LarkPF\\block"}) {
            QVERIFY2(hive.keyExists(QStringView(key)), qPrintable(QString::fromUtf16(key)));
        }
        std::vector<QString> children;
        QVERIFY(hive.subKeys(u"SOFTWARE\\Larkspire Works\\LarkPF\\block", children));
        QCOMPARE(children, std::vector<QString>{QStringLiteral("ip")});
        // Keys later reached by another spelling keep the one they were created with.
        QVERIFY(hive.setValue(u"software\\LARKSPIRE WORKS\\larkpf\\block\\lp", u"80", u"1"));
        QCOMPARE(hive.keyPath(u"SOFTWARE\\LARKSPIRE WORKS\\LARKPF\\BLOCK\\LP").value(),
                 QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF\\block\\lp"));
        children.clear();
        QVERIFY(hive.subKeys(u"software\\larkspire works\\larkpf\\block", children));
        QCOMPARE(children, (std::vector<QString>{QStringLiteral("ip"), QStringLiteral("lp")}));
        // A trailing backslash names the same key (the autostart key is written so).
        QVERIFY(hive.setValue(u"software\\microsoft\\windows\\currentVersion\\run\\", u"", u"x"));
        QCOMPARE(hive.value(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", u"").value(),
                 QStringLiteral("x"));
    }

    void keysMatchIgnoringCaseButLookupsAreExact() {
        RegistryHive hive(freshPath());
        QVERIFY(hive.setValue(kIp, u"Host", u"1"));
        QCOMPARE(hive.value(kIp.toUpper(), u"Host").value(), QStringLiteral("1"));
        QVERIFY(!hive.value(kIp, u"host"));
        QVERIFY(!hive.value(kIp, u"HOST"));
        QString data;
        QString stored;
        QCOMPARE(hive.lookup(kIp, u"HOST", data, RegistryHive::Match::IgnoreCase, &stored),
                 RegistryHive::Lookup::Found);
        QCOMPARE(data, QStringLiteral("1"));
        QCOMPARE(stored, QStringLiteral("Host"));
    }

    void storedNamesCompareIgnoringCaseAndKeepTheirPlace() {
        RegistryHive hive(freshPath());
        QVERIFY(hive.setValue(kIp, u"10.0.0.1", u"1"));
        QVERIFY(hive.setValue(kIp, u"abc", u"0"));
        QVERIFY(hive.setValue(kIp, u"所有连接", u"0"));
        QVERIFY(hive.setValue(kIp, u"Ärger", u"0"));
        QVERIFY(hive.setValue(kIp, u"10.0.0.3", u"1"));

        QVERIFY(hive.setValue(kIp, u"ABC", u"1"));      // replaces abc, keeps its spelling
        QVERIFY(hive.setValue(kIp, u"所有连接", u"1")); // a name without case
        QVERIFY(hive.setValue(kIp, u"äRGER", u"1"));    // folding beyond ASCII
        Values values;
        QVERIFY(hive.values(kIp, values));
        const Values expected = {
            {"10.0.0.1", "1"}, {"abc", "1"}, {"所有连接", "1"}, {"Ärger", "1"}, {"10.0.0.3", "1"}};
        QCOMPARE(values, expected);
        QCOMPARE(hive.value(kIp, u"abc").value(), QStringLiteral("1"));
        QVERIFY(!hive.value(kIp, u"ABC"));
    }

    void deletingMatchesIgnoringCaseAndCreatesAMissingKey() {
        RegistryHive hive(freshPath());
        const QString lp = QStringLiteral("SOFTWARE\\Larkspire Works\\LarkPF\\block\\lp");
        QVERIFY(hive.deleteValue(lp, u"80"));
        QVERIFY(hive.keyExists(lp));
        Values values;
        QVERIFY(hive.values(lp, values));
        QVERIFY(values.empty());

        QVERIFY(hive.setValue(lp, u"a", u"1"));
        QVERIFY(hive.setValue(lp, u"Bc", u"1"));
        QVERIFY(hive.setValue(lp, u"d", u"1"));
        QVERIFY(hive.deleteValue(lp, u"bC"));
        QVERIFY(hive.values(lp, values));
        QCOMPARE(names(values), (QStringList{"a", "d"}));
        // A name written again after its deletion goes to the end.
        QVERIFY(hive.setValue(lp, u"bc", u"0"));
        values.clear();
        QVERIFY(hive.values(lp, values));
        QCOMPARE(names(values), (QStringList{"a", "d", "bc"}));
    }

    // One value with an over-long name or data must not hide the ones after it.
    void noValueHidesTheValuesAfterIt() {
        RegistryHive hive(freshPath());
        const QString longName = QString(300, u'n');
        const QString longData = QString(100000, u'd');
        const QString longChinese = QString(200, u'规'); // 600 bytes of UTF-8
        QVERIFY(hive.setValue(kIp, longName, u"1"));
        QVERIFY(hive.setValue(kIp, u"10.0.0.1", longData));
        QVERIFY(hive.setValue(kIp, longChinese, u"0"));
        QVERIFY(hive.setValue(kIp, u"10.0.0.2", u"1"));
        QCOMPARE(hive.value(kIp, longName).value(), QStringLiteral("1"));
        QCOMPARE(hive.value(kIp, u"10.0.0.1").value(), longData);
        QCOMPARE(hive.value(kIp, longChinese).value(), QStringLiteral("0"));
        QCOMPARE(hive.value(kIp, u"10.0.0.2").value(), QStringLiteral("1"));
        Values values;
        QVERIFY(hive.values(kIp, values));
        QCOMPARE(names(values), (QStringList{longName, "10.0.0.1", longChinese, "10.0.0.2"}));
    }

    void theUnnamedDefaultValueIsAName() {
        RegistryHive hive(freshPath());
        QVERIFY(hive.setValue(kIp, u"", u"default"));
        QVERIFY(hive.setValue(kIp, u"@", u"at"));
        QCOMPARE(hive.value(kIp, u"").value(), QStringLiteral("default"));
        QCOMPARE(hive.value(kIp, u"@").value(), QStringLiteral("at"));
        QVERIFY(hive.setValue(kIp, u"", u""));
        QCOMPARE(hive.value(kIp, u"").value(), QString());
        Values values;
        QVERIFY(hive.values(kIp, values));
        QCOMPARE(values, (Values{{"", ""}, {"@", "at"}}));
    }

    void textWithNulIsRefused() {
        RegistryHive hive(freshPath());
        const QString withNul = QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b");
        QVERIFY(!hive.setValue(kIp, withNul, u"1"));
        QVERIFY(!hive.setValue(kIp, u"a", withNul));
        QVERIFY(!hive.lastError().isEmpty());
        QVERIFY(!hive.keyExists(kIp));
        QVERIFY(!hive.value(kIp, withNul));
    }

    void treeAndBatch() {
        RegistryHive hive(freshPath());
        using Kind = RegistryHive::Change::Kind;
        QVERIFY(hive.apply({{Kind::CreateKey, "A\\Empty", {}, {}},
                            {Kind::SetValue, "A", "x", "1"},
                            {Kind::SetValue, "A\\B", "y", "2"},
                            {Kind::SetValue, "A\\B\\C", "z", "3"},
                            {Kind::SetValue, "A\\B", "w", "4"},
                            {Kind::DeleteValue, "A\\B", "Y", {}}}));
        std::vector<RegistryHive::KeyContents> tree;
        QVERIFY(hive.tree(u"a", tree));
        QCOMPARE(tree.size(), size_t(4));
        QCOMPARE(tree[0].path, QStringLiteral("A"));
        QCOMPARE(tree[1].path, QStringLiteral("A\\Empty"));
        QCOMPARE(tree[2].path, QStringLiteral("A\\B"));
        QCOMPARE(tree[2].values, (Values{{"w", "4"}}));
        QCOMPARE(tree[3].path, QStringLiteral("A\\B\\C"));
        QVERIFY(!hive.tree(u"nothing", tree));

        // A batch that cannot be applied whole changes nothing.
        const QString withNul = QStringLiteral("q") + QChar(u'\0');
        QVERIFY(!hive.apply(
            {{Kind::SetValue, "A", "x", "changed"}, {Kind::SetValue, "A", withNul, "1"}}));
        QCOMPARE(hive.value(u"A", u"x").value(), QStringLiteral("1"));
    }

    // Nothing is cached: what another connection (another process) writes is seen at once.
    void writesOfAnotherConnectionAreSeenAtTheNextLookup() {
        const QString path = freshPath();
        RegistryHive reader(path);
        RegistryHive writer(path);
        QVERIFY(!reader.value(kIp, u"10.0.0.9"));
        QVERIFY(writer.setValue(kIp, u"10.0.0.9", u"1"));
        QCOMPARE(reader.value(kIp, u"10.0.0.9").value(), QStringLiteral("1"));
        QVERIFY(writer.setValue(kIp, u"10.0.0.9", u"0"));
        QCOMPARE(reader.value(kIp, u"10.0.0.9").value(), QStringLiteral("0"));
        QVERIFY(writer.deleteValue(kIp, u"10.0.0.9"));
        QVERIFY(!reader.value(kIp, u"10.0.0.9"));
    }

    // The lookups share a read transaction while the hive stays unchanged: every commit of
    // another process, small or large enough to make the log checkpoint and start over, must
    // still show at the very next lookup.
    void lookupsSeeEveryCommitOfAnotherProcess() {
        const QString path = freshPath();
        {
            RegistryHive hive(path);
            QVERIFY(hive.setValue(kIp, u"turn", u"-1"));
        }
        int toChild[2];
        int toParent[2];
        QVERIFY(pipe(toChild) == 0 && pipe(toParent) == 0);
        constexpr int kTurns = 60;
        const pid_t pid = fork();
        if (pid == 0) {
            RegistryHive hive(path);
            const QString bulk(4000, u'b');
            char c;
            for (int i = 0; i < kTurns; ++i) {
                if (i % 15 == 7) {
                    // A few megabytes at once: past the log's checkpoint threshold.
                    std::vector<RegistryHive::Change> many;
                    for (int k = 0; k < 600; ++k) {
                        many.push_back({RegistryHive::Change::Kind::SetValue, "SOFTWARE\\bulk",
                                        QStringLiteral("%1-%2").arg(i).arg(k), bulk});
                    }
                    hive.apply(many);
                }
                hive.setValue(kIp, u"turn", QString::number(i));
                if (write(toParent[1], "w", 1) != 1 || read(toChild[0], &c, 1) != 1) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        ChildGuard child(pid);
        // Only the child writes to the parent: a child that ended is then seen as end of file.
        close(toParent[1]);
        close(toChild[0]);
        RegistryHive reader(path);
        for (int i = 0; i < kTurns; ++i) {
            // Lookups before the commit keep the shared transaction open.
            for (int k = 0; k < 3; ++k) {
                reader.value(kIp, u"10.0.0.1");
            }
            char c;
            QCOMPARE(read(toParent[0], &c, 1), 1);
            QCOMPARE(reader.value(kIp, u"turn").value_or("missing"), QString::number(i));
            QCOMPARE(write(toChild[1], "r", 1), 1);
        }
        QCOMPARE(child.wait(), 0);
        // The reader's own writes and other calls in between lookups.
        QVERIFY(reader.setValue(kIp, u"turn", u"mine"));
        QCOMPARE(reader.value(kIp, u"turn").value(), QStringLiteral("mine"));
        Values values;
        QVERIFY(reader.values(u"SOFTWARE\\bulk", values));
        QCOMPARE(values.size(), size_t(4 * 600));
        QCOMPARE(reader.value(kIp, u"turn").value(), QStringLiteral("mine"));
        QCOMPARE(integrity(path), QStringLiteral("ok"));
    }

    // A scope reads one state of the hive: another connection's commits show from the next
    // scope on, the hive's own writes at once; the key ids it resolved are resolved again
    // after a commit that numbered the keys anew, as restoring a backup may.
    // Root takes the hive for itself while a scope holds it (another writer waits for the
    // scope to end), so as root the checks run in a child that has given its rights up.
    void aScopeReadsOneStateOfTheHive() {
        const QString path = freshPath();
        if (geteuid() != 0) {
            scopeChecks(path);
            return;
        }
        const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(::mkdir(folder.constData(), 0755) == 0 &&
                ::chown(folder.constData(), 65534, 65534) == 0);
        QCOMPARE(inChild([&] {
                     if (setgid(65534) != 0 || setuid(65534) != 0) {
                         return 10;
                     }
                     scopeChecks(path);
                     return QTest::currentTestFailed() ? 11 : 0;
                 }),
                 0);
    }

private:
    void scopeChecks(const QString& path) {
        RegistryHive reader(path);
        RegistryHive writer(path);
        QVERIFY(writer.setValue(kIp, u"10.0.0.1", u"1"));
        const RegistryHive::KeyPath ip(kIp);
        QString data;
        {
            RegistryHive::ReadScope scope(reader);
            QCOMPARE(reader.lookup(ip, u"10.0.0.1", data), RegistryHive::Lookup::Found);
            QVERIFY(writer.setValue(kIp, u"10.0.0.1", u"0"));
            QVERIFY(writer.setValue(kIp, u"10.0.0.2", u"1"));
            QCOMPARE(reader.lookup(ip, u"10.0.0.1", data), RegistryHive::Lookup::Found);
            QCOMPARE(data, QStringLiteral("1"));
            QCOMPARE(reader.lookup(ip, u"10.0.0.2", data), RegistryHive::Lookup::Missing);
            QVERIFY(reader.setValue(kIp, u"10.0.0.3", u"1"));
            QCOMPARE(reader.lookup(ip, u"10.0.0.3", data), RegistryHive::Lookup::Found);
        }
        QCOMPARE(reader.lookup(ip, u"10.0.0.1", data), RegistryHive::Lookup::Found);
        QCOMPARE(data, QStringLiteral("0"));

        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db,
                              "BEGIN; UPDATE vals SET key = key + 1000 WHERE key > 1;"
                              "UPDATE keys SET parent = parent + 1000 WHERE parent > 1;"
                              "UPDATE keys SET id = id + 1000 WHERE id > 1; COMMIT",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
        for (int i = 0; i < 2; ++i) {
            RegistryHive::ReadScope scope(reader);
            QCOMPARE(reader.lookup(ip, u"10.0.0.2", data), RegistryHive::Lookup::Found);
            QCOMPARE(reader.lookup(kIp, u"10.0.0.3", data), RegistryHive::Lookup::Found);
            QCOMPARE(reader.lookup(ip, u"10.0.0.4", data), RegistryHive::Lookup::Missing);
        }
        QCOMPARE(integrity(path), QStringLiteral("ok"));
    }

private slots:
    // The folders and files of a new hive get their modes whatever the umask: shared with the
    // group quillon where it exists, else writable by the owner alone and readable by all.
    void aNewHiveHasItsModesWhateverTheUmask_data() {
        QTest::addColumn<int>("umask");
        QTest::addColumn<bool>("shared");
        for (const bool shared : {true, false}) {
            const char* group = shared ? "group quillon" : "no group quillon";
            QTest::addRow("000, %s", group) << 0 << shared;
            QTest::addRow("022, %s", group) << 022 << shared;
            QTest::addRow("077, %s", group) << 077 << shared;
        }
    }

    // The hive is made as root where group quillon exists, and where it does not. Which of
    // the two the machine has must not decide the expectation: the hive is made in a child
    // with a private mount namespace whose /etc/group is a scratch file, with or without a
    // throw-away group quillon. The machine's own /etc/group is never touched.
    void aNewHiveHasItsModesWhateverTheUmask() {
        QFETCH(int, umask);
        QFETCH(bool, shared);
        if (::geteuid() != 0) {
            QSKIP("needs root: the hive's group comes from a scratch /etc/group mounted in a "
                  "private mount namespace");
        }
        // A group number no group of the machine has, so nothing of the machine's is given.
        gid_t gid = 4242;
        while (::getgrgid(gid) != nullptr) {
            ++gid;
        }
        const QString groups = m_dir.fresh(QStringLiteral("group%1"));
        quillon::test::writeFile(
            groups,
            "root:x:0:\n" + (shared ? QByteArray("quillon:x:") + QByteArray::number(gid) + ":\n"
                                    : QByteArray()));
        const QString path = m_dir.fresh(QStringLiteral("m%1/above/hive/registry.db"));
        const int made = inChild([&] {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(QFile::encodeName(groups).constData(), "/etc/group", nullptr, MS_BIND,
                        nullptr) != 0) {
                return 10;
            }
            const group* g = ::getgrnam("quillon");
            if ((g != nullptr) != shared || (g != nullptr && g->gr_gid != gid)) {
                return 11;
            }
            ::umask(static_cast<mode_t>(umask));
            RegistryHive hive(path);
            if (!hive.setValue(kIp, u"10.0.0.1", u"1")) {
                return 12;
            }
            // A writer keeps the log and its index, made with the database's mode.
            return hive.value(kIp, u"10.0.0.1") == QStringLiteral("1") ? 0 : 13;
        });
        QCOMPARE(made, 0);
        const auto stat = [](const QString& file) {
            struct stat st {};
            return ::stat(QFile::encodeName(file).constData(), &st) == 0
                       ? std::pair{static_cast<int>(st.st_mode & 07777), st.st_gid}
                       : std::pair{-1, gid_t(-1)};
        };
        const QString folder = QFileInfo(path).absolutePath();
        QCOMPARE(stat(QFileInfo(folder).absolutePath()).first, 0755);
        QCOMPARE(stat(folder), (std::pair{shared ? 02750 : 0755, shared ? gid : gid_t(0)}));
        for (const char* suffix : {"", "-wal", "-shm"}) {
            QCOMPARE(stat(path + QLatin1String(suffix)),
                     (std::pair{shared ? 0660 : 0644, shared ? gid : gid_t(0)}));
        }
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"registry.db", "registry.db-shm", "registry.db-wal"}));
    }

    void anEmptyFileBecomesAHive() {
        const QString path = freshPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        writeFile(path, {});
        RegistryHive hive(path);
        QVERIFY(!hive.value(kIp, u"a"));
        QCOMPARE(QFileInfo(path).size(), 0);
        QVERIFY(hive.writable());
        QVERIFY(hive.setValue(kIp, u"a", u"1"));
        QCOMPARE(hive.value(kIp, u"a").value(), QStringLiteral("1"));
        QCOMPARE(integrity(path), QStringLiteral("ok"));
    }

    void filesThatAreNoHiveAreNeverWritten_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("text") << "text";
        QTest::newRow("sqlite header, junk after") << "header";
        QTest::newRow("damaged hive") << "damaged";
        QTest::newRow("another program's database") << "foreign";
    }

    void filesThatAreNoHiveAreNeverWritten() {
        QFETCH(QString, kind);
        const QString path = freshPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (kind == u"text") {
            writeFile(path, QByteArray("these are my notes, not a database\n").repeated(500));
        } else if (kind == u"header") {
            writeFile(path, QByteArray("SQLite format 3", 16) + QByteArray(8000, '\x5a'));
        } else if (kind == u"damaged") {
            {
                std::vector<RegistryHive::Change> rules;
                for (int i = 0; i < 2000; ++i) {
                    rules.push_back({RegistryHive::Change::Kind::SetValue, kIp,
                                     QStringLiteral("10.0.%1.%2").arg(i / 250).arg(i), "1"});
                }
                QVERIFY(RegistryHive(path).apply(rules));
            }
            QByteArray bytes = fileBytes(path);
            QVERIFY(bytes.size() > 8 * 4096);
            bytes.replace(5 * 4096, 4096, QByteArray(4096, '\xa5'));
            writeFile(path, bytes);
            QFile::remove(path + QStringLiteral("-wal"));
            QFile::remove(path + QStringLiteral("-shm"));
        } else {
            sqlite3* db = nullptr;
            QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
            QCOMPARE(sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('x')",
                                  nullptr, nullptr, nullptr),
                     SQLITE_OK);
            sqlite3_close(db);
        }
        const QByteArray before = fileBytes(path);

        RegistryHive hive(path);
        QString data;
        Values values;
        std::vector<QString> keys;
        std::vector<RegistryHive::KeyContents> tree;
        QCOMPARE(hive.lookup(kIp, u"10.0.0.1", data), RegistryHive::Lookup::Failed);
        QVERIFY(!hive.value(kIp, u"10.0.0.1"));
        QVERIFY(!hive.setValue(kIp, u"10.0.0.1", u"1"));
        QVERIFY(!hive.lastError().isEmpty());
        QVERIFY(!hive.deleteValue(kIp, u"10.0.0.1"));
        QVERIFY(!hive.createKey(u"SOFTWARE\\new"));
        QVERIFY(!hive.values(kIp, values));
        QVERIFY(!hive.subKeys(u"SOFTWARE", keys));
        QVERIFY(!hive.tree(u"SOFTWARE", tree));
        QVERIFY(!hive.apply({{RegistryHive::Change::Kind::SetValue, "a", "b", "c"}}));
        QVERIFY(!hive.writable());
        QCOMPARE(fileBytes(path), before);
    }

    void writableProbesWithoutChanging() {
        const QString path = freshPath();
        RegistryHive hive(path);
        QVERIFY(hive.writable());
        QVERIFY(!QFileInfo::exists(QFileInfo(path).absolutePath()));
        QVERIFY(hive.setValue(kIp, u"a", u"1"));
        const QByteArray before = fileBytes(path);
        QVERIFY(hive.writable());
        QCOMPARE(fileBytes(path), before);
    }

    // Without write rights reads go on working and writes fail quietly. Root may write
    // anything, so as root the checks run in a child that has given its rights up.
    void aHiveWithoutWriteRights() {
        const QString path = freshPath();
        {
            RegistryHive hive(path);
            QVERIFY(hive.setValue(kIp, u"10.0.0.1", u"1"));
            QVERIFY(hive.setValue(kIp, u"10.0.0.2", u"0"));
        }
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0444) == 0);
        const QByteArray before = fileBytes(path);

        auto checks = [&]() -> int {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                return 10;
            }
            RegistryHive hive(path);
            if (hive.value(kIp, u"10.0.0.1") != QStringLiteral("1")) {
                return 11;
            }
            if (hive.writable()) {
                return 12;
            }
            if (hive.setValue(kIp, u"10.0.0.3", u"1") || hive.deleteValue(kIp, u"10.0.0.1") ||
                hive.createKey(u"SOFTWARE\\x")) {
                return 13;
            }
            Values values;
            if (!hive.values(kIp, values) || values.size() != 2) {
                return 14;
            }
            return 0;
        };
        // Once with the -wal/-shm files a writer leaves behind, once after something (the
        // sqlite3 shell, say) removed them, which the folder's rights do not let a reader redo.
        QCOMPARE(inChild(checks), 0);
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
        QCOMPARE(inChild(checks), 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QCOMPARE(fileBytes(path), before);
    }

    // A reader without rights that found the hive with no -shm index still sees what a
    // writer commits later.
    void aReaderWithoutRightsSeesLaterWrites() {
        if (geteuid() != 0) {
            QSKIP("needs root to write while an account without rights reads");
        }
        const QString path = freshPath();
        {
            RegistryHive hive(path);
            QVERIFY(hive.setValue(kIp, u"10.0.0.1", u"1"));
        }
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        int toChild[2];
        int toParent[2];
        QVERIFY(pipe(toChild) == 0 && pipe(toParent) == 0);
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(10);
            }
            RegistryHive hive(path);
            char c;
            for (const char* expected : {"1", "0", "0"}) {
                if (hive.value(kIp, u"10.0.0.1") != QString::fromLatin1(expected)) {
                    _exit(11);
                }
                if (write(toParent[1], "r", 1) != 1 || read(toChild[0], &c, 1) != 1) {
                    _exit(12);
                }
            }
            _exit(hive.value(kIp, u"10.0.0.2") == QStringLiteral("1") ? 0 : 13);
        }
        ChildGuard child(pid);
        // Only the child writes to the parent: a child that ended is then seen as end of file.
        close(toParent[1]);
        close(toChild[0]);
        char c;
        QCOMPARE(read(toParent[0], &c, 1), 1);
        {
            RegistryHive writer(path);
            QVERIFY(writer.setValue(kIp, u"10.0.0.1", u"0"));
        }
        QCOMPARE(write(toChild[1], "w", 1), 1);
        QCOMPARE(read(toParent[0], &c, 1), 1);
        QCOMPARE(write(toChild[1], "w", 1), 1);
        QCOMPARE(read(toParent[0], &c, 1), 1);
        {
            RegistryHive writer(path);
            QVERIFY(writer.setValue(kIp, u"10.0.0.2", u"1"));
        }
        QCOMPARE(write(toChild[1], "w", 1), 1);
        QCOMPARE(child.wait(), 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    }

    // The group's members may write the hive's files, so anything in the schema but Quillon's
    // own is someone else's: never run, never written through, reported as damage. Reads for
    // an export still get the values; SQLite's own statistics tables are no stranger.
    void aHiveHoldsOnlyQuillonsSchema_data() {
        QTest::addColumn<QByteArray>("plant");
        QTest::addColumn<bool>("refused");
        QTest::newRow("trigger that allows")
            << QByteArray("CREATE TRIGGER t AFTER UPDATE ON vals BEGIN UPDATE vals SET data = '0' "
                          "WHERE key = new.key AND folded = new.folded; END")
            << true;
        QTest::newRow("trigger loading code")
            << QByteArray("CREATE TRIGGER t BEFORE INSERT ON vals BEGIN SELECT "
                          "load_extension('/nonexistent/x'); END")
            << true;
        QTest::newRow("view") << QByteArray("CREATE VIEW v AS SELECT * FROM vals") << true;
        QTest::newRow("table") << QByteArray("CREATE TABLE notes(t)") << true;
        QTest::newRow("index") << QByteArray("CREATE INDEX i ON vals(data)") << true;
        QTest::newRow("index dropped") << QByteArray("DROP INDEX vals_in_order") << true;
        QTest::newRow("statistics") << QByteArray("ANALYZE") << false;
    }
    void aHiveHoldsOnlyQuillonsSchema() {
        QFETCH(QByteArray, plant);
        QFETCH(bool, refused);
        const QString path = freshPath();
        QVERIFY(RegistryHive(path).setValue(kIp, u"10.0.0.1", u"1"));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, plant.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);

        RegistryHive hive(path);
        QCOMPARE(hive.setValue(kIp, u"10.0.0.1", u"1"), !refused);
        QCOMPARE(hive.setValue(kIp, u"10.0.0.2", u"1"), !refused);
        QCOMPARE(hive.value(kIp, u"10.0.0.1").has_value(), !refused);
        QCOMPARE(hive.health() == RegistryHive::Health::Damaged, refused);
        QCOMPARE(hive.lastError().contains(u"did not make"), refused);
        hive.allowForeignSchemaReads(true);
        Values values;
        QVERIFY(hive.values(kIp, values));
        QCOMPARE(values.front(), std::make_pair(QStringLiteral("10.0.0.1"), QStringLiteral("1")));
        QVERIFY(!hive.setValue(kIp, u"10.0.0.3", u"1") || !refused);
    }

    // Root meets the hive's folder as set up (root's, closed to the group), so whatever lies
    // there that is not a plain hive was put there by someone else: a link (even to a file
    // that does not exist yet, which SQLite would create), a FIFO, a rollback journal the next
    // opener would roll in, or a folder still open to others, where a member could swap names
    // under root. Root uses none of them and changes no file through them.
    void rootUsesOnlyAHiveNoOneElseCouldPlace_data() {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<int>("health");
        using H = RegistryHive::Health;
        QTest::newRow("link to a missing file") << "missing link" << int(H::Damaged);
        QTest::newRow("link to a hive") << "hive link" << int(H::Damaged);
        QTest::newRow("fifo") << "fifo" << int(H::Damaged);
        QTest::newRow("journal beside") << "journal" << int(H::Damaged);
        QTest::newRow("folder others can write") << "open folder" << int(H::Unsafe);
        QTest::newRow("group-writable folder") << "group folder" << int(H::Unsafe);
    }
    void rootUsesOnlyAHiveNoOneElseCouldPlace() {
        QFETCH(QString, plant);
        QFETCH(int, health);
        if (geteuid() != 0) {
            QSKIP("root's own rules");
        }
        const QString path = freshPath();
        const QString folder = QFileInfo(path).absolutePath();
        const QByteArray name = QFile::encodeName(path);
        const QString victim = m_dir.fresh(QStringLiteral("victim%1"));
        QVERIFY(QDir().mkpath(folder));
        if (plant == u"missing link") {
            QCOMPARE(::symlink(QFile::encodeName(victim).constData(), name.constData()), 0);
        } else if (plant == u"hive link") {
            QVERIFY(RegistryHive(victim).setValue(kIp, u"10.0.0.1", u"0"));
            QCOMPARE(::symlink(QFile::encodeName(victim).constData(), name.constData()), 0);
        } else if (plant == u"fifo") {
            QCOMPARE(::mkfifo(name.constData(), 0660), 0);
        } else {
            QVERIFY(RegistryHive(path).setValue(kIp, u"10.0.0.1", u"1"));
            // A member's file at a side name: root must not write or chown it.
            QVERIFY(test::writeFile(victim, "victim"));
            QCOMPARE(::chown(QFile::encodeName(victim).constData(), 65534, 65534), 0);
            QCOMPARE(::chmod(QFile::encodeName(victim).constData(), 0660), 0);
            if (plant == u"journal") {
                QVERIFY(test::writeFile(path + QStringLiteral("-journal"), "hot"));
            } else {
                QFile::remove(path + QStringLiteral("-shm"));
                QCOMPARE(::link(QFile::encodeName(victim).constData(), (name + "-shm").constData()),
                         0);
                QCOMPARE(::chmod(QFile::encodeName(folder).constData(),
                                 plant == u"open folder" ? 0777 : 02770),
                         0);
            }
        }
        struct stat before {};
        const bool victimBefore = ::stat(QFile::encodeName(victim).constData(), &before) == 0;
        const QByteArray victimBytes = fileBytes(victim);

        RegistryHive hive(path);
        QVERIFY(!hive.value(kIp, u"10.0.0.1"));
        QVERIFY(!hive.setValue(kIp, u"10.0.0.2", u"1"));
        QVERIFY(!hive.writable());
        QCOMPARE(int(hive.health()), health);
        QVERIFY(!hive.lastError().isEmpty());
        struct stat after {};
        const bool victimThere = ::stat(QFile::encodeName(victim).constData(), &after) == 0;
        QCOMPARE(victimThere, victimBefore);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(fileBytes(victim), victimBytes);
        if (plant == u"missing link") {
            QVERIFY(!QFileInfo::exists(victim + QStringLiteral("-wal")));
        }
    }

    // Root never maps a file the group's members may write: one truncating the -shm index (or
    // anything else) while root's process uses the hive does not end that process.
    void rootSurvivesATruncatedIndex() {
        if (geteuid() != 0) {
            QSKIP("root's own rules");
        }
        const QString path = freshPath();
        QVERIFY(RegistryHive(path).setValue(kIp, u"round", u"0"));
        const QByteArray shm = QFile::encodeName(path + QStringLiteral("-shm"));
        const pid_t truncater = fork();
        if (truncater == 0) {
            RegistryHive member(path);
            for (;;) {
                // As a member would: use the hive, then cut its index short.
                member.value(kIp, u"round");
                ::truncate(shm.constData(), 0);
            }
        }
        ChildGuard stop(truncater);
        QCOMPARE(inChild([&] {
                     RegistryHive hive(path);
                     RegistryHive::KeyPath ip(kIp);
                     for (int i = 1; i <= 300; ++i) {
                         RegistryHive::ReadScope scope(hive);
                         QString data;
                         if (hive.lookup(ip, u"round", data) != RegistryHive::Lookup::Found ||
                             !hive.setValue(kIp, u"round", QString::number(i))) {
                             return 1;
                         }
                     }
                     return 0;
                 }),
                 0);
    }

    // A connection that does not keep the -wal and -shm files (root's sqlite3 shell, say) may
    // remove them on closing; a member, who cannot make files in the hive's folder, then still
    // reads the hive, and a write fails saying how to restore them.
    void aMissingSideFileIsSaidWithItsRemedy() {
        const QString path = freshPath();
        const QString folder = QFileInfo(path).absolutePath();
        QVERIFY(RegistryHive(path).setValue(kIp, u"10.0.0.1", u"1"));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db, "SELECT count(*) FROM vals", nullptr, nullptr, nullptr),
                 SQLITE_OK);
        sqlite3_close(db);
        QVERIFY(!QFileInfo::exists(path + QStringLiteral("-shm")));
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0666) == 0);
        QCOMPARE(inChild([&] {
                     if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                         return 10;
                     }
                     RegistryHive hive(path);
                     if (hive.value(kIp, u"10.0.0.1") != QStringLiteral("1")) {
                         return 11;
                     }
                     if (hive.setValue(kIp, u"10.0.0.2", u"1") ||
                         !hive.lastError().contains(u"setup-rights.sh install")) {
                         return 12;
                     }
                     return hive.health() == RegistryHive::Health::Incomplete ? 0 : 13;
                 }),
                 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
    }

    // Several processes writing at once (the program and the editor) lose nothing.
    void concurrentWritersLoseNothing() {
        const QString path = freshPath();
        {
            RegistryHive hive(path);
            QVERIFY(hive.createKey(kIp));
        }
        constexpr int kWriters = 3;
        constexpr int kEach = 150;
        std::vector<pid_t> pids;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = fork();
            if (pid == 0) {
                RegistryHive hive(path);
                for (int i = 0; i < kEach; ++i) {
                    if (!hive.setValue(kIp, QStringLiteral("w%1-%2").arg(w).arg(i), u"1") ||
                        !hive.value(kIp, QStringLiteral("w%1-%2").arg(w).arg(i))) {
                        _exit(1);
                    }
                }
                _exit(0);
            }
            pids.push_back(pid);
        }
        for (const pid_t pid : pids) {
            QCOMPARE(ChildGuard(pid).wait(), 0);
        }
        RegistryHive hive(path);
        Values values;
        QVERIFY(hive.values(kIp, values));
        QCOMPARE(values.size(), size_t(kWriters * kEach));
        // Each writer's values are in the order it wrote them.
        std::vector<int> next(kWriters, 0);
        for (const auto& [name, data] : values) {
            const QStringList parts = name.mid(1).split(u'-');
            const int w = parts[0].toInt();
            QCOMPARE(parts[1].toInt(), next[w]++);
        }
        QCOMPARE(integrity(path), QStringLiteral("ok"));
    }

    // A process killed in the middle of a write leaves the hive whole, holding every write
    // that finished and nothing of the one that did not.
    void killedWriterLeavesTheHiveWhole() {
        const QString path = freshPath();
        {
            RegistryHive hive(path);
            QVERIFY(hive.createKey(kIp));
        }
        const QString bulk(20000, u'x');
        for (int round = 0; round < 4; ++round) {
            int ready[2];
            QVERIFY(pipe(ready) == 0);
            const pid_t pid = fork();
            if (pid == 0) {
                close(ready[0]);
                RegistryHive hive(path);
                Values values;
                hive.values(kIp, values);
                const int first = static_cast<int>(values.size() / 2);
                for (int i = first;; ++i) {
                    using Kind = RegistryHive::Change::Kind;
                    // Two values per transaction: they must appear together or not at all.
                    hive.apply({{Kind::SetValue, kIp, QStringLiteral("%1a").arg(i), bulk},
                                {Kind::SetValue, kIp, QStringLiteral("%1b").arg(i), bulk}});
                    if (i == first) {
                        (void)!write(ready[1], "x", 1);
                    }
                }
            }
            close(ready[1]);
            {
                ChildGuard child(pid); // killed mid-write when this scope ends
                char c;
                QCOMPARE(read(ready[0], &c, 1), 1);
                close(ready[0]);
                usleep(static_cast<useconds_t>(20000 + round * 17000));
            }

            QCOMPARE(integrity(path), QStringLiteral("ok"));
            RegistryHive hive(path);
            Values values;
            QVERIFY(hive.values(kIp, values));
            QVERIFY(values.size() >= 2);
            QCOMPARE(values.size() % 2, size_t(0));
            for (size_t i = 0; i < values.size(); ++i) {
                QCOMPARE(values[i].first,
                         QStringLiteral("%1%2").arg(i / 2).arg(QLatin1String(i % 2 ? "b" : "a")));
                QCOMPARE(values[i].second, bulk);
            }
            QVERIFY(hive.setValue(kIp, u"after", u"1"));
            QVERIFY(hive.deleteValue(kIp, u"after"));
        }
    }
};

QTEST_GUILESS_MAIN(TestRegistryHive)
#include "test_RegistryHive.moc"
