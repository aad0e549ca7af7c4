#include "app/pathformat/custompathcontroller.h"

#include "platform/prefs/preferencestore.h"
#include "render/custompath.h"
#include "render/destinationpaths.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace tessaly {

namespace {

Q_LOGGING_CATEGORY(lcPathFormat, "tessaly.app", QtWarningMsg)

QString kindName(int index) {
    return QString::fromLatin1(CustomPathController::kKinds[index]);
}

QStringList predefinedFormats(const QString& kind) {
    if (kind == u"pdf") {
        return CustomPath::pdfFormats();
    }
    if (kind == u"attachment") {
        return CustomPath::attachmentFormats();
    }
    return CustomPath::emlFormats();
}

QString fieldTitle(const QString& kind) {
    if (kind == u"pdf") {
        return CustomPathController::tr("&PDF files:");
    }
    if (kind == u"attachment") {
        return CustomPathController::tr("&Attachments:");
    }
    return CustomPathController::tr("&EML copies:");
}

// The field's title without its mnemonic and colon, for accessible names.
QString plainTitle(const QString& kind) {
    QString title = fieldTitle(kind);
    title.remove(u'&');
    title.remove(u':');
    return title;
}

QString switchedOffText(const QString& kind) {
    if (kind == u"pdf") {
        return CustomPathController::tr("No PDFs");
    }
    if (kind == u"attachment") {
        return CustomPathController::tr("No attachments saved");
    }
    return CustomPathController::tr("No EML copies");
}

// The value a field stands for: an empty field switches its kind off, and is stored as a
// word so that it does not read as "not set" and fall back to an inherited format.
QString storedValue(const QString& text) {
    return text.isEmpty() ? QStringLiteral("none") : text;
}

} // namespace

CustomPathController::CustomPathController(PreferenceStore& store, const QString& account,
                                           QWidget* parent)
    : QDialog(parent)
    , m_store(store)
    , m_account(account.isEmpty() ? CustomPath::generalAccount() : account) {
    setWindowTitle(tr("Path Formats"));
    setObjectName(QStringLiteral("CustomPathController"));
    setAccessibleName(tr("Path formats for %1").arg(m_account));
    setWindowModality(Qt::WindowModal);
    buildLayout();
    load(false);
    // The design's size; a larger font or scale grows it through the layout's minimum.
    resize(sizeHint().expandedTo(QSize(800, 575)));
    connect(this, &QDialog::finished, this,
            [](int result) { qCInfo(lcPathFormat).noquote() << "They pressed" << result; });
}

CustomPathController*
CustomPathController::showCustomPathControllerForAccount(PreferenceStore& store,
                                                         const QString& account, QWidget* parent) {
    auto* controller = new CustomPathController(store, account, parent);
    connect(controller, &QDialog::finished, controller, &QObject::deleteLater);
    controller->open();
    return controller;
}

QString CustomPathController::exampleText(const QString& kind, const QString& format) {
    if (format.size() < DestinationPaths::kMinFormatLength) {
        return switchedOffText(kind);
    }
    return CustomPath::getExample(format);
}

void CustomPathController::buildLayout() {
    auto* layout = new QVBoxLayout(this);

    m_accountLabel = new QLabel(this);
    m_accountLabel->setTextFormat(Qt::PlainText);
    m_accountLabel->setWordWrap(true);
    m_accountLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_accountLabel->setObjectName(QStringLiteral("accountLabel"));
    layout->addWidget(m_accountLabel);

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (int i = 0; i < static_cast<int>(kKinds.size()); ++i) {
        const QString kind = kindName(i);
        Field& field = m_fields[i];

        field.box = new QComboBox(this);
        field.box->setObjectName(kind + QStringLiteral("Format"));
        field.box->setEditable(true);
        // Typed text is a format of its own, not an addition to the list, and is never
        // completed from the list behind the user's back.
        field.box->setInsertPolicy(QComboBox::NoInsert);
        field.box->setCompleter(nullptr);
        field.box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        field.box->setMinimumContentsLength(40);
        field.box->setFont(fixed);
        field.box->lineEdit()->setFont(fixed);
        const QStringList formats = predefinedFormats(kind);
        for (const QString& format : formats) {
            field.box->addItem(format);
            const int row = field.box->count() - 1;
            const QString example = exampleText(kind, format);
            field.box->setItemData(row, example, Qt::ToolTipRole);
            if (format.isEmpty()) {
                field.box->setItemData(row, example, Qt::AccessibleTextRole);
            }
        }

        auto* title = new QLabel(fieldTitle(kind), this);
        title->setBuddy(field.box);
        field.box->setAccessibleName(tr("%1 path format").arg(plainTitle(kind)));

        field.example = new QLabel(this);
        field.example->setObjectName(kind + QStringLiteral("Example"));
        field.example->setTextFormat(Qt::PlainText);
        field.example->setFont(fixed);
        field.example->setWordWrap(true);
        field.example->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        field.example->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                               Qt::TextSelectableByKeyboard);
        field.example->setAccessibleName(tr("%1 example").arg(plainTitle(kind)));
        auto* exampleTitle = new QLabel(tr("Example:"), this);
        exampleTitle->setAlignment(Qt::AlignRight | Qt::AlignTop);

        const int row = i * 2;
        grid->addWidget(title, row, 0);
        grid->addWidget(field.box, row, 1);
        grid->addWidget(exampleTitle, row + 1, 0);
        grid->addWidget(field.example, row + 1, 1);
        grid->setRowMinimumHeight(row + 1, fontMetrics().height() * 2);

        connect(field.box, &QComboBox::currentTextChanged, this,
                &CustomPathController::updateExamples);
        connect(field.box->lineEdit(), &QLineEdit::editingFinished, this,
                &CustomPathController::updateExamples);
    }
    layout->addLayout(grid);
    layout->addWidget(buildLegend(), 1);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QDialogButtonBox::Ok);
    m_revert = buttons->addButton(tr("&Revert"), QDialogButtonBox::ResetRole);
    m_revert->setObjectName(QStringLiteral("revertButton"));
    m_revert->setToolTip(tr("Show the formats this account inherits; OK then stores them"));
    buttons->addButton(QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        storeFormats();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_revert, &QPushButton::clicked, this, [this] { load(true); });
    // Tab order is creation order: each format box, then its example, then the buttons.
    layout->addWidget(buttons);
}

QWidget* CustomPathController::buildLegend() {
    auto* group = new QGroupBox(tr("What a format can hold"), this);
    auto* layout = new QVBoxLayout(group);
    struct Entry {
        const char* code;
        const char* meaning;
    };
    static const Entry entries[] = {
        {"__subject__", QT_TR_NOOP("the message's subject")},
        {"__fromLast__", QT_TR_NOOP("the sender's last name")},
        {"__toLast__", QT_TR_NOOP("the first recipient's last name")},
        {"__emailFrom__", QT_TR_NOOP("the sender's address")},
        {"__emailTo__", QT_TR_NOOP("the recipient's address")},
        {"__filename__", QT_TR_NOOP("the attachment's file name")},
        {"%Y %m %d", QT_TR_NOOP("year, month, day of the message's date")},
        {"%H %M %S", QT_TR_NOOP("hour, minute, second")},
        {"/", QT_TR_NOOP("starts a folder")},
        {"localTZ__", QT_TR_NOOP("at the start: dates in this computer's time zone")},
        {"-4TZ__", QT_TR_NOOP("at the start: dates in UTC plus that many hours (here -4)")},
    };
    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    int row = 0;
    for (const Entry& entry : entries) {
        auto* code = new QLabel(QString::fromLatin1(entry.code), group);
        code->setTextFormat(Qt::PlainText);
        code->setFont(fixed);
        code->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto* meaning = new QLabel(tr(entry.meaning), group);
        meaning->setTextFormat(Qt::PlainText);
        meaning->setWordWrap(true);
        grid->addWidget(code, row, 0);
        grid->addWidget(meaning, row, 1);
        ++row;
    }
    layout->addLayout(grid);
    auto* notes =
        new QLabel(tr("Without a time-zone prefix dates are in UTC. Other % directives of "
                      "strftime work too. A format shorter than 5 characters, or an empty "
                      "one, switches that kind of file off."),
                   group);
    notes->setTextFormat(Qt::PlainText);
    notes->setWordWrap(true);
    layout->addWidget(notes);
    layout->addStretch(1);
    group->setAccessibleName(tr("Placeholders and date directives"));
    return group;
}

QString CustomPathController::inheritedFormat(const QString& kind) const {
    if (m_account == CustomPath::generalAccount()) {
        return CustomPath::defaultFormat(kind);
    }
    return CustomPath::getFormat(m_store, kind, CustomPath::generalAccount());
}

void CustomPathController::load(bool inherited) {
    if (m_account == CustomPath::generalAccount()) {
        m_accountLabel->setText(tr("Account: %1 (formats every account follows unless it has "
                                   "its own)")
                                    .arg(m_account));
    } else {
        m_accountLabel->setText(
            tr("Account: %1 (a format equal to the general one keeps following it)")
                .arg(m_account));
    }
    for (int i = 0; i < static_cast<int>(kKinds.size()); ++i) {
        const QString kind = kindName(i);
        const QString format =
            inherited ? inheritedFormat(kind) : CustomPath::getFormat(m_store, kind, m_account);
        m_fields[i].box->setEditText(format);
    }
    updateExamples();
}

void CustomPathController::updateExamples() {
    for (int i = 0; i < static_cast<int>(kKinds.size()); ++i) {
        m_fields[i].example->setText(exampleText(kindName(i), m_fields[i].box->currentText()));
    }
}

void CustomPathController::storeFormats() {
    for (int i = 0; i < static_cast<int>(kKinds.size()); ++i) {
        const QString kind = kindName(i);
        const QString text = m_fields[i].box->currentText();
        // A field showing what the account would inherit anyway (after Revert, say) leaves the
        // account following the general formats, later changes to them included.
        if (text == inheritedFormat(kind)) {
            CustomPath::clearFormat(m_store, kind, m_account);
        } else {
            CustomPath::setFormat(m_store, kind, m_account, storedValue(text));
        }
    }
    if (!m_store.sync()) {
        qCWarning(lcPathFormat).noquote()
            << "could not save the path formats to" << m_store.filePath();
        auto* box = new QMessageBox(QMessageBox::Warning, tr("Path Formats Not Saved"),
                                    tr("Tessaly could not write its settings file %1. The new "
                                       "path formats apply until Tessaly quits.")
                                        .arg(m_store.filePath()),
                                    QMessageBox::Ok, parentWidget());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
}

} // namespace tessaly
