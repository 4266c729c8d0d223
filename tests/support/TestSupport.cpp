#include "support/TestSupport.h"

#include "platform/CodePage.h"

#include <QAbstractItemModel>
#include <QAbstractItemModelTester>
#include <QFile>
#include <QtGlobal>

namespace quillon::test {

QString testDataDir() {
    return qEnvironmentVariable("QUILLON_TEST_DATA", QStringLiteral(QUILLON_SOURCE_TEST_DATA));
}

QString shippedFile(const QString& name) {
    return qEnvironmentVariable("QUILLON_BIN_DIR") + QLatin1Char('/') + name;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

bool writeTrojanFile(const QString& path, const std::vector<std::pair<QString, QString>>& entries) {
    QByteArray bytes;
    for (const auto& [port, text] : entries) {
        bytes += platform::CodePage::toGbk(port) + '\x01' + platform::CodePage::toGbk(text) +
                 '\x01' + "x\r\n";
    }
    return writeFile(path, bytes);
}

std::vector<settings::LogRecord> readLog(const QString& path, bool* opened) {
    std::vector<settings::LogRecord> records;
    const bool ok = settings::EventLog::read(
        path, [&records](settings::LogRecord&& r) { records.push_back(std::move(r)); });
    if (opened) {
        *opened = ok;
    }
    return records;
}

QStringList rowTexts(const QAbstractItemModel& model, int row) {
    QStringList out;
    for (int c = 0; c < model.columnCount(); ++c) {
        out << model.data(model.index(row, c)).toString();
    }
    return out;
}

void checkModel(QAbstractItemModel* model) {
    if (model == nullptr || model->findChild<QAbstractItemModelTester*>() != nullptr) {
        return;
    }
    new QAbstractItemModelTester(model, QAbstractItemModelTester::FailureReportingMode::QtTest,
                                 model);
}

} // namespace quillon::test
