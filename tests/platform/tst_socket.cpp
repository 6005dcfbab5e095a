#include "platform/Address.h"
#include "platform/TcpSocket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using platform::TcpSocket;

class TestSocket : public QObject {
    Q_OBJECT
private slots:
    void addressSyntax_data();
    void addressSyntax();
    void callAcceptExchangeAndClose();
    void unacceptedRequestIsClosed();
    void refusedConnectionIsAnError();
    void sendWhileConnectingIsRefused();
    void listenErrors();
    void ipv6Loopback();
    void errorNumbers_data();
    void errorNumbers();
};

void TestSocket::callAcceptExchangeAndClose() {
    TcpSocket server;
    server.SetLocalPort(0);
    QCOMPARE(server.state(), int(TcpSocket::Closed));
    QVERIFY(server.Listen());
    QCOMPARE(server.state(), int(TcpSocket::Listening));
    QVERIFY(server.LocalPort() > 0);

    TcpSocket answer;
    QString requestAddress;
    QObject::connect(&server, &TcpSocket::ConnectionRequest, &answer, [&](int id) {
        requestAddress = TcpSocket::RequestAddress(id);
        QVERIFY(TcpSocket::RequestPort(id) > 0);
        QVERIFY(answer.Accept(id));
    });

    TcpSocket call;
    QSignalSpy connected(&call, &TcpSocket::ConnectedEvent);
    call.Connect(QStringLiteral("127.0.0.1"), server.LocalPort());
    QVERIFY(call.state() == TcpSocket::ResolvingHost || call.state() == TcpSocket::Connecting);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(call.state(), int(TcpSocket::Connected));
    QVERIFY(call.WasConnected());
    QTRY_COMPARE(answer.state(), int(TcpSocket::Connected));
    // A dual-stack listener still shows an IPv4 peer in dotted form.
    QCOMPARE(requestAddress, QStringLiteral("127.0.0.1"));
    QCOMPARE(answer.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    QCOMPARE(call.RemotePort(), server.LocalPort());

    QSignalSpy arrived(&answer, &TcpSocket::DataArrival);
    const QByteArray bytes("a\0b\xff\0", 5);
    QVERIFY(call.SendData(bytes));
    QTRY_VERIFY(arrived.count() >= 1);
    QByteArray got = answer.GetData();
    QTRY_COMPARE(got += answer.GetData(), bytes);

    // Closing here raises nothing here; the peer sees "closed".
    QSignalSpy callClosed(&call, &TcpSocket::ClosedEvent);
    QSignalSpy answerClosed(&answer, &TcpSocket::ClosedEvent);
    call.Close();
    QCOMPARE(call.state(), int(TcpSocket::Closed));
    QTRY_COMPARE(answerClosed.count(), 1);
    QCOMPARE(answer.state(), int(TcpSocket::Closing));
    QCOMPARE(callClosed.count(), 0);
    QCOMPARE(answer.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    answer.Close();
    QCOMPARE(answer.state(), int(TcpSocket::Closed));
}

void TestSocket::unacceptedRequestIsClosed() {
    TcpSocket server;
    QVERIFY(server.Listen());
    QSignalSpy requests(&server, &TcpSocket::ConnectionRequest);
    TcpSocket call;
    QSignalSpy closed(&call, &TcpSocket::ClosedEvent);
    call.Connect(QStringLiteral("127.0.0.1"), server.LocalPort());
    QTRY_COMPARE(requests.count(), 1);
    QTRY_COMPARE(closed.count(), 1);
    // The identifier is gone once the event has been handled, and nothing of it is kept.
    QVERIFY(!TcpSocket().Accept(requests.at(0).at(0).toInt()));
    QVERIFY(TcpSocket::RequestAddress(requests.at(0).at(0).toInt()).isEmpty());
}

void TestSocket::refusedConnectionIsAnError() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const int port = probe.serverPort();
    probe.close();
    TcpSocket call;
    QSignalSpy errors(&call, &TcpSocket::ErrorEvent);
    QSignalSpy closed(&call, &TcpSocket::ClosedEvent);
    call.Connect(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), 10061);
    QVERIFY(!errors.at(0).at(1).toString().isEmpty());
    QCOMPARE(call.state(), int(TcpSocket::Error));
    QVERIFY(!call.WasConnected());
    QCOMPARE(closed.count(), 0);

    // Ports a TCP connection cannot use are refused, not wrapped round to another port.
    for (int port : {0, 65536, 70000}) {
        TcpSocket badPort;
        QSignalSpy badErrors(&badPort, &TcpSocket::ErrorEvent);
        badPort.Connect(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(badErrors.count(), 1);
        QCOMPARE(badErrors.at(0).at(0).toInt(), 10049);
        QCOMPARE(badPort.state(), int(TcpSocket::Error));
    }
}

void TestSocket::sendWhileConnectingIsRefused() {
    TcpSocket call;
    QVERIFY(!call.SendData("x")); // closed
    // A host name that has to be resolved first: nothing can be sent meanwhile.
    call.Connect(QStringLiteral("localhost"), 9);
    QVERIFY(call.state() != TcpSocket::Connected);
    QVERIFY(!call.SendData("x"));
    call.Close();
}

void TestSocket::listenErrors() {
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    TcpSocket server;
    server.SetLocalPort(holder.serverPort());
    QVERIFY(!server.Listen());
    QCOMPARE(server.LastErrorNumber(), 10048);
    QVERIFY(!server.LastErrorDescription().isEmpty());
    QCOMPARE(server.state(), int(TcpSocket::Closed));

    server.SetLocalPort(70000); // never wrapped round to another port
    QVERIFY(!server.Listen());
    QCOMPARE(server.LastErrorNumber(), 10049);
}

void TestSocket::errorNumbers_data() {
    QTest::addColumn<int>("qtError");
    QTest::addColumn<int>("number");
    using E = QAbstractSocket::SocketError;
    const struct {
        const char* name;
        E error;
        int number;
    } rows[] = {
        {"refused", E::ConnectionRefusedError, 10061},
        {"peer closed", E::RemoteHostClosedError, 10053},
        {"host not found", E::HostNotFoundError, 11001},
        {"access", E::SocketAccessError, 10013},
        {"resources", E::SocketResourceError, 10055},
        {"timeout", E::SocketTimeoutError, 10060},
        {"network", E::NetworkError, 10050},
        {"address in use", E::AddressInUseError, 10048},
        {"address not available", E::SocketAddressNotAvailableError, 10049},
        {"unsupported", E::UnsupportedSocketOperationError, 10045},
        {"anything else", E::ProxyAuthenticationRequiredError, 11112},
    };
    for (const auto& row : rows) {
        QTest::newRow(row.name) << int(row.error) << row.number;
    }
}

void TestSocket::errorNumbers() {
    QFETCH(int, qtError);
    QFETCH(int, number);
    QCOMPARE(TcpSocket::ErrorNumberFor(qtError), number);
}

void TestSocket::ipv6Loopback() {
    TcpSocket server;
    QVERIFY(server.Listen());
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0)) {
        QSKIP("no IPv6 loopback on this machine");
    }
    probe.close();
    TcpSocket answer;
    QObject::connect(&server, &TcpSocket::ConnectionRequest, &answer,
                     [&](int id) { answer.Accept(id); });
    TcpSocket call;
    QSignalSpy connected(&call, &TcpSocket::ConnectedEvent);
    call.Connect(QStringLiteral("::1"), server.LocalPort());
    QTRY_COMPARE(connected.count(), 1);
    QTRY_COMPARE(answer.RemoteHostIP(), QStringLiteral("::1"));
}

void TestSocket::addressSyntax_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("host") << "example.org"
                          << "example.org" << 7000;
    QTest::newRow("host:port") << "127.0.0.1:8000"
                               << "127.0.0.1" << 8000;
    QTest::newRow("[IPv6]:port") << "[::1]:8001"
                                 << "::1" << 8001;
    QTest::newRow("[IPv6]") << "[2001:db8::2]"
                            << "2001:db8::2" << 7000;
    QTest::newRow("bare IPv6") << "2001:db8::7"
                               << "2001:db8::7" << 7000;
    QTest::newRow("link") << "palaver://example.org:9/"
                          << "example.org" << 9;
    QTest::newRow("link, IPv6") << "palaver://[::1]"
                                << "::1" << 7000;
    QTest::newRow("empty") << ""
                           << "" << 0;
    QTest::newRow("empty port") << "host:"
                                << "" << 0;
    QTest::newRow("port 0") << "host:0"
                            << "" << 0;
    QTest::newRow("port 65536") << "host:65536"
                                << "" << 0;
    QTest::newRow("signed port") << "host:+80"
                                 << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1"
                                      << "" << 0;
    QTest::newRow("not IPv6") << "a:b:c"
                              << "" << 0;
    QTest::newRow("link with a path") << "palaver://h/x"
                                      << "" << 0;
    QTest::newRow("link with a user") << "palaver://u@h"
                                      << "" << 0;
}

void TestSocket::addressSyntax() {
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    const auto parsed = text.startsWith("palaver:") ? platform::ParseLink(text, 7000)
                                                    : platform::ParseAddress(text, 7000);
    QCOMPARE(parsed.has_value(), !host.isEmpty());
    if (parsed) {
        QCOMPARE(parsed->host, host);
        QCOMPARE(parsed->port, port);
    }
}

QTEST_MAIN(TestSocket)
#include "tst_socket.moc"
