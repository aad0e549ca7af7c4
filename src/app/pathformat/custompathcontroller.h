#pragma once

#include <QDialog>
#include <QString>

#include <array>

class QComboBox;
class QLabel;
class QPushButton;

namespace tessaly {

class PreferenceStore;

// The editor for one account's three path formats (PDF, attachments, EML copy), window-modal
// on the window that asked for it. Nothing is written until OK: Revert only shows the formats
// the account would inherit, so Cancel after Revert still leaves the stored formats alone.
class CustomPathController : public QDialog {
    Q_OBJECT

public:
    // The three kinds, in the order the editor shows them.
    static constexpr std::array<const char*, 3> kKinds = {"pdf", "attachment", "eml"};

    CustomPathController(PreferenceStore& store, const QString& account, QWidget* parent = nullptr);

    // Opens an editor for `account` ("General" for the general formats) window-modal on
    // `parent` and deletes it when it closes; the returned editor lives until then.
    static CustomPathController* showCustomPathControllerForAccount(PreferenceStore& store,
                                                                    const QString& account,
                                                                    QWidget* parent);

    const QString& account() const { return m_account; }
    QComboBox* formatBox(int kindIndex) const { return m_fields[kindIndex].box; }
    QLabel* exampleLabel(int kindIndex) const { return m_fields[kindIndex].example; }
    QPushButton* revertButton() const { return m_revert; }

    // What the example line says for a format of `kind`: its expansion with the sample message,
    // or that the kind is switched off when the format is too short to be one.
    static QString exampleText(const QString& kind, const QString& format);

private:
    struct Field {
        QComboBox* box = nullptr;
        QLabel* example = nullptr;
    };

    void buildLayout();
    QWidget* buildLegend();
    // Sets each field to the account's effective format, or with `inherited` to the format the
    // account would have without stored values of its own.
    void load(bool inherited);
    void updateExamples();
    void storeFormats();
    QString inheritedFormat(const QString& kind) const;

    PreferenceStore& m_store;
    QString m_account;
    std::array<Field, 3> m_fields;
    QLabel* m_accountLabel = nullptr;
    QPushButton* m_revert = nullptr;
};

} // namespace tessaly
