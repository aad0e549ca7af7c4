#pragma once

#include <QObject>
#include <QRegularExpression>
#include <QTcpServer>

namespace tessaly::test {

// Forwards every connection made to 127.0.0.1:port() to 127.0.0.1:targetPort, and drops
// chosen ones in the middle of a response, as a failing network would. It works on the thread
// that made it: the test runs the event loop while a worker thread or another process talks
// through it.
class CuttingProxy : public QObject {
    Q_OBJECT

public:
    explicit CuttingProxy(quint16 targetPort, QObject* parent = nullptr);
    ~CuttingProxy() override;

    quint16 port() const { return m_server.serverPort(); } // 0 when it could not listen

    // The next `times` connections whose client sends a command line matching `command` are
    // closed on both sides once the server has sent `bytes` bytes after that command: the
    // client gets exactly those bytes, then the connection ends. Replaces the rule in force.
    void cutAfterCommand(const QRegularExpression& command, qint64 bytes, int times = 1);

    int connectionsSeen() const { return m_seen; }
    int connectionsCut() const { return m_cut; }

Q_SIGNALS:
    void connectionCut();

private:
    friend class ProxyLink;
    // Whether a connection that just sent this command line takes one of the cuts.
    bool claimCut(const QByteArray& line, qint64* bytes);
    void releaseCut() { ++m_cutsLeft; }
    void countCut();

    QTcpServer m_server;
    quint16 m_targetPort = 0;
    QRegularExpression m_command;
    qint64 m_bytes = 0;
    int m_cutsLeft = 0;
    int m_seen = 0;
    int m_cut = 0;
};

} // namespace tessaly::test
