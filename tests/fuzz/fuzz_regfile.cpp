// The .reg parser: any bytes are read without a crash, and whatever it accepts can be written
// back and reads back the same (an import that export could not reproduce would leave a hive
// that cannot be backed up).
#include "FuzzInput.h"
#include "RegFile.h"

namespace regfile = quillon::regfile;
using quillon::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const regfile::Parsed parsed = regfile::parse(
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!parsed.ok()) {
        require(parsed.sections.empty(), "a rejected file yields no sections");
        return 0;
    }
    // Deletions ("name"=-) are not written back.
    std::vector<regfile::Section> kept;
    for (const regfile::Section& s : parsed.sections) {
        regfile::Section copy{s.key, {}};
        for (const regfile::Entry& e : s.entries) {
            require(regfile::refusal(s.key, e.name, e.data.value_or(QString())).isEmpty(),
                    "an accepted value is storable");
            if (e.data) {
                copy.entries.push_back(e);
            }
        }
        kept.push_back(std::move(copy));
    }
    QByteArray written;
    QString error;
    require(regfile::write(kept, written, error), "what was read can be written");
    const regfile::Parsed again = regfile::parse(written);
    require(again.ok(), "what was written can be read");
    require(again.sections.size() == kept.size(), "the same keys read back");
    for (size_t i = 0; i < kept.size(); ++i) {
        require(again.sections[i].key == kept[i].key, "a key reads back as written");
        require(again.sections[i].entries.size() == kept[i].entries.size(),
                "the same values read back");
        for (size_t k = 0; k < kept[i].entries.size(); ++k) {
            require(again.sections[i].entries[k].name == kept[i].entries[k].name &&
                        again.sections[i].entries[k].data == kept[i].entries[k].data,
                    "a value reads back as written");
        }
    }
    return 0;
}
