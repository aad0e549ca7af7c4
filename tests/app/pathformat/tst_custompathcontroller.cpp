// The path-format editor as a user drives it: typing and picking formats, OK, Revert and
// Cancel, and what each leaves in the preferences.

#include "app/crashreportquestion.h"
#include "app/pathformat/custompathcontroller.h"
#include "platform/prefs/preferencekeys.h"
#include "render/custompath.h"
#include "screenshots.h"
#include "testappcontext.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using tessaly::CustomPath;
using tessaly::CustomPathController;

namespace {

constexpr int kPdf = 0;
constexpr int kAttachment = 1;
constexpr int kEml = 2;
const QString kAccount = "someone@example.com";

QPushButton* standardButton(CustomPathController* editor, QDialogButtonBox::StandardButton which) {
    return editor->findChild<QDialogButtonBox*>()->button(which);
}

void typeInto(QComboBox* box, const QString& text) {
    box->lineEdit()->selectAll();
    QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
    QTest::keyClicks(box->lineEdit(), text);
}

} // namespace

class TestCustomPathController : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<tessaly::test::TestAppContext> m_context;
    std::unique_ptr<QMainWindow> m_window;

    tessaly::PreferenceStore& store() { return m_context->store(); }

    CustomPathController* openEditor(const QString& account) {
        CustomPathController* editor = CustomPathController::showCustomPathControllerForAccount(
            store(), account, m_window.get());
        if (!QTest::qWaitForWindowExposed(editor)) {
            return nullptr;
        }
        return editor;
    }

    // Presses a button and waits until the editor is gone, as it must be after it closes.
    static bool pressAndWaitForClose(CustomPathController* editor, QPushButton* button) {
        QPointer<CustomPathController> watched(editor);
        QTest::mouseClick(button, Qt::LeftButton);
        return QTest::qWaitFor([&watched] { return watched.isNull(); });
    }

private Q_SLOTS:
    void init() {
        m_context = std::make_unique<tessaly::test::TestAppContext>();
        m_window = std::make_unique<QMainWindow>();
        m_window->resize(1000, 700);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup() {
        m_window.reset();
        m_context.reset();
    }

    void showsTheAccountsFormatsAndFollowsEdits() {
        CustomPath::setFormat(store(), "attachment", CustomPath::generalAccount(),
                              "localTZ__%Y-%m-%d_%H%M%S_Attachments/__filename__");
        CustomPathController* editor = openEditor(kAccount);
        QVERIFY(editor);
        QVERIFY(editor->isModal());
        QCOMPARE(editor->windowModality(), Qt::WindowModal);
        QCOMPARE(editor->parentWidget(), m_window.get());
        QVERIFY(editor->findChild<QLabel*>("accountLabel")->text().contains(kAccount));

        // The account inherits the general attachment format and the defaults otherwise.
        QCOMPARE(editor->formatBox(kPdf)->currentText(), CustomPath::defaultFormat("pdf"));
        QCOMPARE(editor->formatBox(kAttachment)->currentText(),
                 "localTZ__%Y-%m-%d_%H%M%S_Attachments/__filename__");
        QCOMPARE(editor->exampleLabel(kPdf)->text(),
                 "2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf");
        QCOMPARE(editor->exampleLabel(kAttachment)->text(),
                 "2014-01-18_081620_Attachments/My Great Word Doc.docx");
        QCOMPARE(editor->exampleLabel(kEml)->text(), "No EML copies");
        QCOMPARE(editor->formatBox(kPdf)->count(), CustomPath::pdfFormats().size());
        QCOMPARE(editor->formatBox(kEml)->count(), CustomPath::emlFormats().size());

        // Typing, character by character: the list never completes it behind the user's back.
        typeInto(editor->formatBox(kPdf), "-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf");
        QCOMPARE(editor->exampleLabel(kPdf)->text(),
                 "2014/2014-01-18 04.16.20  Typical Email Subject.pdf");
        typeInto(editor->formatBox(kPdf), "%Y");
        QCOMPARE(editor->formatBox(kPdf)->currentText(), "%Y");
        QCOMPARE(editor->exampleLabel(kPdf)->text(), "No PDFs");

        // Picking from the list, by keyboard.
        editor->formatBox(kEml)->setFocus();
        QTest::keyClick(editor->formatBox(kEml), Qt::Key_Down);
        QCOMPARE(editor->formatBox(kEml)->currentText(), CustomPath::emlFormats().at(1));
        QCOMPARE(editor->exampleLabel(kEml)->text(),
                 "2014/01/2014-01-18 08.16.20  Typical Email Subject.eml");
        QCOMPARE(editor->formatBox(kEml)->count(), CustomPath::emlFormats().size());

        for (int kind : {kPdf, kAttachment, kEml}) {
            QVERIFY(!editor->formatBox(kind)->accessibleName().isEmpty());
            QVERIFY(!editor->exampleLabel(kind)->accessibleName().isEmpty());
            QVERIFY(editor->exampleLabel(kind)->textInteractionFlags() &
                    Qt::TextSelectableByKeyboard);
        }
        QVERIFY(editor->width() >= 800 && editor->height() >= 575);
        tessaly::test::saveScreenshots(editor, "path-format-editor");
        editor->reject();
    }

    void okStoresWhatDiffersFromWhatIsInherited() {
        CustomPathController* editor = openEditor(kAccount);
        QVERIFY(editor);
        QSignalSpy finished(editor, &QDialog::finished);
        typeInto(editor->formatBox(kPdf), "");
        typeInto(editor->formatBox(kAttachment), CustomPath::attachmentFormats().at(2));
        editor->formatBox(kEml)->setCurrentIndex(3);
        QVERIFY(pressAndWaitForClose(editor, standardButton(editor, QDialogButtonBox::Ok)));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), 1);

        // An emptied field switches its kind off explicitly instead of reading as "not set".
        QCOMPARE(store().stringValue(kAccount + "pdf"), "none");
        QCOMPARE(CustomPath::getPathFormat(store(), kAccount), "none");
        QCOMPARE(store().stringValue(kAccount + "attachment"),
                 CustomPath::attachmentFormats().at(2));
        QCOMPARE(store().stringValue(kAccount + "eml"), CustomPath::emlFormats().at(3));
        QVERIFY(!store().isStored("Generalpdf"));

        // OK on untouched fields that show inherited formats stores nothing: the account keeps
        // following the general formats when they change later.
        const QString other = "other@example.com";
        editor = openEditor(other);
        QVERIFY(editor);
        QVERIFY(pressAndWaitForClose(editor, standardButton(editor, QDialogButtonBox::Ok)));
        for (const char* kind : CustomPathController::kKinds) {
            QVERIFY2(!store().isStored(other + kind), kind);
        }
        CustomPath::setFormat(store(), "eml", CustomPath::generalAccount(),
                              CustomPath::emlFormats().at(2));
        QCOMPARE(CustomPath::getEMLFormat(store(), other), CustomPath::emlFormats().at(2));

        // Typing the inherited format back into a field drops the account's own value.
        editor = openEditor(kAccount);
        QVERIFY(editor);
        typeInto(editor->formatBox(kAttachment), CustomPath::defaultFormat("attachment"));
        QVERIFY(pressAndWaitForClose(editor, standardButton(editor, QDialogButtonBox::Ok)));
        QVERIFY(!store().isStored(kAccount + "attachment"));
        QCOMPARE(store().stringValue(kAccount + "pdf"), "none");
    }

    void revertAndCancel() {
        CustomPath::setFormat(store(), "pdf", kAccount, CustomPath::pdfFormats().at(1));
        CustomPath::setFormat(store(), "eml", kAccount, CustomPath::emlFormats().at(1));
        CustomPath::setFormat(store(), "pdf", CustomPath::generalAccount(),
                              CustomPath::pdfFormats().at(2));

        // Cancel after edits and a Revert leaves every stored value as it was.
        CustomPathController* editor = openEditor(kAccount);
        QVERIFY(editor);
        QSignalSpy finished(editor, &QDialog::finished);
        QCOMPARE(editor->formatBox(kPdf)->currentText(), CustomPath::pdfFormats().at(1));
        typeInto(editor->formatBox(kAttachment), "%Y/__filename__");
        QTest::mouseClick(editor->revertButton(), Qt::LeftButton);
        QVERIFY(editor->isVisible());
        QCOMPARE(editor->formatBox(kPdf)->currentText(), CustomPath::pdfFormats().at(2));
        QCOMPARE(editor->formatBox(kAttachment)->currentText(),
                 CustomPath::defaultFormat("attachment"));
        QCOMPARE(editor->formatBox(kEml)->currentText(), QString());
        QCOMPARE(editor->exampleLabel(kPdf)->text(),
                 "2014/2014-01-18 04.16.20  Typical Email Subject.pdf");
        QCOMPARE(editor->exampleLabel(kEml)->text(), "No EML copies");
        QVERIFY(pressAndWaitForClose(editor, standardButton(editor, QDialogButtonBox::Cancel)));
        QCOMPARE(finished.first().first().toInt(), 0);
        QCOMPARE(store().stringValue(kAccount + "pdf"), CustomPath::pdfFormats().at(1));
        QCOMPARE(store().stringValue(kAccount + "eml"), CustomPath::emlFormats().at(1));
        QVERIFY(!store().isStored(kAccount + "attachment"));

        // Revert then OK: the account follows the general formats again.
        editor = openEditor(kAccount);
        QVERIFY(editor);
        QTest::mouseClick(editor->revertButton(), Qt::LeftButton);
        QVERIFY(pressAndWaitForClose(editor, standardButton(editor, QDialogButtonBox::Ok)));
        for (const char* kind : CustomPathController::kKinds) {
            QVERIFY2(!store().isStored(kAccount + kind), kind);
        }
        QCOMPARE(CustomPath::getPathFormat(store(), kAccount), CustomPath::pdfFormats().at(2));

        // Escape is Cancel.
        editor = openEditor(CustomPath::generalAccount());
        QVERIFY(editor);
        typeInto(editor->formatBox(kPdf), "%Y/__subject__.pdf");
        QPointer<CustomPathController> watched(editor);
        QTest::keyClick(editor, Qt::Key_Escape);
        QTRY_VERIFY(watched.isNull());
        QCOMPARE(store().stringValue("Generalpdf"), CustomPath::pdfFormats().at(2));
    }

    void crashReportQuestionRecordsTheAnswer() {
        QTemporaryDir folder;
        const tessaly::CrashReporter::Setup setup{folder.filePath("crashes"), "test",
                                                  tessaly::CrashReporter::Role::Application};
        for (const bool allow : {false, true}) {
            QMessageBox* box = tessaly::showCrashReportQuestion(m_window.get(), store(), setup);
            QVERIFY(QTest::qWaitForWindowExposed(box));
            QCOMPARE(box->windowTitle(), "Crash Reports");
            QCOMPARE(box->windowModality(), Qt::WindowModal);
            QVERIFY(box->text().startsWith("Despite our best efforts"));
            QVERIFY(!store().boolValue(tessaly::prefkeys::crashReportsAsked));
            QPointer<QMessageBox> watched(box);
            QAbstractButton* answer = nullptr;
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == (allow ? "Yes" : "No")) {
                    answer = button;
                }
            }
            QVERIFY(answer);
            QTest::mouseClick(answer, Qt::LeftButton);
            QTRY_VERIFY(watched.isNull());
            QVERIFY(store().boolValue(tessaly::prefkeys::crashReportsAsked));
            QCOMPARE(store().boolValue(tessaly::prefkeys::crashReportsAllowed), allow);
            QCOMPARE(tessaly::CrashReporter::isInstalled(), allow);
            store().remove(tessaly::prefkeys::crashReportsAsked);
        }
        QVERIFY(QFileInfo(setup.folder).isDir());
    }
};

QTEST_MAIN(TestCustomPathController)
#include "tst_custompathcontroller.moc"
