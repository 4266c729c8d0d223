#pragma once

#include "core/settings/EventLog.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <utility>
#include <vector>

class QAbstractItemModel;

namespace quillon::test {

// tests/data in the source tree.
QString testDataDir();

// A temporary folder for the files of one test program; each fresh() is a path no earlier call
// gave, so that no two cases share a file.
class ScratchFolder {
public:
    // `pattern` is a path inside the folder whose "%1" becomes the next number.
    QString fresh(const QString& pattern) { return dir_.filePath(pattern.arg(++count_)); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }
    QString path() const { return dir_.path(); }
    bool isValid() const { return dir_.isValid(); }

private:
    QTemporaryDir dir_;
    int count_ = 0;
};

// A file the build puts beside the binaries (QLWD.dat, SPLH.jpg, quillon-reg); ctest says
// where through QUILLON_BIN_DIR.
QString shippedFile(const QString& name);

// The whole file, or nothing when it cannot be read.
QByteArray fileBytes(const QString& path);

// Replaces the file's content with `bytes`; false when it cannot be written whole.
bool writeFile(const QString& path, const QByteArray& bytes);

// Writes a trojan table as the program ships it: GBK, one "port SOH description SOH x" line
// (CR LF) per (port, description).
bool writeTrojanFile(const QString& path, const std::vector<std::pair<QString, QString>>& entries);

// Every record of an event log file, in file order; `opened` tells whether it could be read.
std::vector<settings::LogRecord> readLog(const QString& path, bool* opened = nullptr);

// The display texts of one row of a model, column by column.
QStringList rowTexts(const QAbstractItemModel& model, int row);

// Attaches Qt's model tester to `model` (once, for the model's life): from then on every
// change the model announces is checked against what it reports, and a wrong begin/end call
// or a count that disagrees with the signals fails the running test at that call.
void checkModel(QAbstractItemModel* model);

} // namespace quillon::test
