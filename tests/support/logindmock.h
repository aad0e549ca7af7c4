#pragma once

#include <QByteArray>
#include <QProcess>

namespace tessaly::test {

// A private bus that stands in for the system bus, and python3-dbusmock playing logind on it.
// start() must come before the process's first use of the system bus.
class LogindMock {
public:
    ~LogindMock();
    // The bus alone (start logind with startLogind()); false with a warning when it fails.
    bool startBus(const QString& busConfig);
    bool startLogind();
    // Tessaly's sleep locks logind holds now; -1 when it cannot be asked.
    static int inhibitors();

private:
    QProcess m_bus;
    QProcess m_logind;
};

} // namespace tessaly::test
