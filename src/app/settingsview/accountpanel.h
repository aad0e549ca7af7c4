#pragma once

#include <QWidget>

namespace tessaly {

// The right-hand panel of the settings window that shows one IMAP account. The settings view
// only switches it; what it shows and does is the panel's own business.
class AccountPanel : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;

    // Shows the stored account of that address; "" shows an empty form for a new account.
    virtual void populateEmailSettings(const QString& address) = 0;
    // Starts adding an account (an empty form).
    virtual void addEmailAccount() = 0;

Q_SIGNALS:
    // The shown account was removed: the settings list selects the row above.
    void accountRemoved();
};

} // namespace tessaly
