#include "cuttingproxy.h"

#include <QTcpSocket>

namespace tessaly::test {

// One client connection and its connection to the target.
class ProxyLink : public QObject {
public:
    ProxyLink(CuttingProxy* proxy, QTcpSocket* client, quint16 targetPort)
        : QObject(proxy)
        , m_proxy(proxy)
        , m_client(client)
        , m_target(new QTcpSocket(this)) {
        m_client->setParent(this);
        connect(m_client, &QIODevice::readyRead, this, &ProxyLink::fromClient);
        connect(m_target, &QIODevice::readyRead, this, &ProxyLink::fromTarget);
        connect(m_target, &QAbstractSocket::connected, this, [this] {
            m_target->write(m_pending);
            m_pending.clear();
        });
        connect(m_client, &QAbstractSocket::disconnected, this, &ProxyLink::clientGone);
        connect(m_target, &QAbstractSocket::disconnected, this, &ProxyLink::targetGone);
        connect(m_target, &QAbstractSocket::errorOccurred, this, [this] {
            if (m_target->state() == QAbstractSocket::UnconnectedState) {
                targetGone();
            }
        });
        connect(m_client, &QIODevice::bytesWritten, this, &ProxyLink::finishCut);
        m_target->connectToHost(QHostAddress::LocalHost, targetPort);
    }

    ~ProxyLink() override {
        if (m_armed && !m_cutting) {
            m_proxy->releaseCut();
        }
    }

private:
    void fromClient() {
        const QByteArray data = m_client->readAll();
        if (m_cutting) {
            return;
        }
        watchCommands(data);
        if (m_target->state() == QAbstractSocket::ConnectedState) {
            m_target->write(data);
        } else {
            m_pending += data;
        }
    }

    // Finds the command lines in what the client sends; literals (an APPEND's message) are
    // skipped, so their text never counts as a command.
    void watchCommands(const QByteArray& data) {
        if (m_armed) {
            return;
        }
        m_line += data;
        for (;;) {
            if (m_literalLeft > 0) {
                const qsizetype skipped = qMin<qsizetype>(m_literalLeft, m_line.size());
                m_line.remove(0, skipped);
                m_literalLeft -= skipped;
                if (m_literalLeft > 0) {
                    return;
                }
            }
            const qsizetype end = m_line.indexOf('\n');
            if (end < 0) {
                if (m_line.size() > kLongestLine) {
                    m_line.clear();
                }
                return;
            }
            const QByteArray line = m_line.left(end + 1);
            m_line.remove(0, end + 1);
            if (m_proxy->claimCut(line.trimmed(), &m_budget)) {
                m_armed = true;
                m_line.clear();
                return;
            }
            static const QRegularExpression literal(QStringLiteral("\\{(\\d+)\\+?\\}\\r?\\n$"));
            const QRegularExpressionMatch match = literal.match(QString::fromLatin1(line));
            if (match.hasMatch()) {
                m_literalLeft = match.captured(1).toLongLong();
            }
        }
    }

    void fromTarget() {
        QByteArray data = m_target->readAll();
        if (m_cutting) {
            return;
        }
        if (m_armed && data.size() >= m_budget) {
            data.truncate(m_budget);
            m_client->write(data);
            startCut();
            return;
        }
        if (m_armed) {
            m_budget -= data.size();
        }
        m_client->write(data);
    }

    void startCut() {
        m_cutting = true;
        m_target->abort();
        m_proxy->countCut();
        finishCut();
    }

    // The client gets every byte up to the cut before its side closes.
    void finishCut() {
        if (m_cutting && m_client->bytesToWrite() == 0 &&
            m_client->state() != QAbstractSocket::UnconnectedState) {
            m_client->abort();
            deleteLater();
        }
    }

    void clientGone() {
        if (m_target->state() != QAbstractSocket::UnconnectedState) {
            m_target->disconnectFromHost();
        }
        endWhenBothGone();
    }

    void targetGone() {
        if (m_cutting) {
            return;
        }
        if (m_client->state() != QAbstractSocket::UnconnectedState) {
            m_client->disconnectFromHost();
        }
        endWhenBothGone();
    }

    void endWhenBothGone() {
        if (m_client->state() == QAbstractSocket::UnconnectedState &&
            m_target->state() == QAbstractSocket::UnconnectedState) {
            deleteLater();
        }
    }

    static constexpr qsizetype kLongestLine = 1 << 20;

    CuttingProxy* m_proxy;
    QTcpSocket* m_client;
    QTcpSocket* m_target;
    QByteArray m_pending; // sent by the client before the target answered the connection
    QByteArray m_line;
    qint64 m_literalLeft = 0;
    bool m_armed = false;
    bool m_cutting = false;
    qint64 m_budget = 0;
};

CuttingProxy::CuttingProxy(quint16 targetPort, QObject* parent)
    : QObject(parent)
    , m_targetPort(targetPort) {
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            ++m_seen;
            new ProxyLink(this, client, m_targetPort);
        }
    });
    m_server.listen(QHostAddress::LocalHost, 0);
}

CuttingProxy::~CuttingProxy() {
    // The links give back unused cuts as they go, which needs this object whole.
    const QObjectList links = children();
    qDeleteAll(links);
}

void CuttingProxy::cutAfterCommand(const QRegularExpression& command, qint64 bytes, int times) {
    m_command = command;
    m_bytes = qMax<qint64>(0, bytes);
    m_cutsLeft = qMax(0, times);
}

bool CuttingProxy::claimCut(const QByteArray& line, qint64* bytes) {
    if (m_cutsLeft <= 0 || !m_command.isValid() ||
        !m_command.match(QString::fromUtf8(line)).hasMatch()) {
        return false;
    }
    --m_cutsLeft;
    *bytes = m_bytes;
    return true;
}

void CuttingProxy::countCut() {
    ++m_cut;
    Q_EMIT connectionCut();
}

} // namespace tessaly::test
