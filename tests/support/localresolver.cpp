#include "localresolver.h"

#include <QNetworkDatagram>

#include <sys/mount.h>

LocalResolver::LocalResolver(Mode mode) : m_mode(mode)
{
    if (!m_socket.bind(QHostAddress(QStringLiteral("127.0.0.77")), 53) || !m_conf.open())
        return;
    // One try that waits far beyond any deadline of the program.
    m_conf.write("nameserver 127.0.0.77\noptions timeout:30 attempts:1\n");
    m_conf.flush();
    m_active = ::mount(QFile::encodeName(m_conf.fileName()).constData(), "/etc/resolv.conf",
                       nullptr, MS_BIND, nullptr) == 0;
    QObject::connect(&m_socket, &QUdpSocket::readyRead, &m_socket, [this] { answer(); });
}

LocalResolver::~LocalResolver()
{
    if (m_active)
        ::umount2("/etc/resolv.conf", MNT_DETACH);
}

void LocalResolver::answer()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram query = m_socket.receiveDatagram();
        const QByteArray bytes = query.data();
        ++m_queries;
        if (m_mode == Mode::Silent || bytes.size() < 12)
            continue;
        // The header and the question back, flagged as a response that says "no such name".
        qsizetype end = 12;
        while (end < bytes.size() && bytes[end] != 0)
            end += 1 + quint8(bytes[end]);
        if (end + 5 > bytes.size())
            continue;
        QByteArray reply = bytes.left(end + 5);
        reply[2] = char(0x81);
        reply[3] = char(0x83);
        reply.replace(6, 6, QByteArray(6, '\0'));
        m_socket.writeDatagram(reply, query.senderAddress(), quint16(query.senderPort()));
    }
}
