#include "window/tls_dialog.h"

#include "net/certificate_files.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

enum Verify { VerifyServer, DontVerify, PinServer };

} // namespace

TlsDialog::TlsDialog(const TlsOptions &listener, const TlsOptions &client, bool listening,
                     QString certificateFolder, QWidget *parent)
    : QDialog(parent), m_listener(listener), m_client(client),
      m_certificateFolder(std::move(certificateFolder)) {
    setWindowTitle(QStringLiteral("Secure (TLS)"));
    setObjectName(QStringLiteral("tlsDialog"));
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->hide();
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TlsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TlsDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(listenerBox(listening));
    layout->addWidget(clientBox());
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
    // Room for a file's path, which is mostly longer than a name.
    setMinimumWidth(fontMetrics().horizontalAdvance(QString(64, u'x')));
}

// A file's box with a button that picks it.
QLineEdit *TlsDialog::fileField(const QString &name, const QString &text, QWidget *parent) {
    auto *box = new QLineEdit(text, parent);
    box->setObjectName(name);
    box->setPlaceholderText(QStringLiteral("PEM file"));
    QAction *pick =
        box->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QLineEdit::TrailingPosition);
    pick->setText(QStringLiteral("Choose a file..."));
    pick->setToolTip(pick->text());
    connect(pick, &QAction::triggered, box, [this, box] {
        const QString path = QFileDialog::getOpenFileName(
            this, windowTitle(),
            box->text().trimmed().isEmpty() ? m_certificateFolder : box->text(),
            QStringLiteral("PEM files (*.pem *.crt *.cer *.key);;All files (*)"));
        if (!path.isEmpty())
            box->setText(path);
    });
    return box;
}

QWidget *TlsDialog::listenerBox(bool listening) {
    auto *group = new QGroupBox(QStringLiteral("Listener"), this);
    m_secure = new QCheckBox(QStringLiteral("&Secure (TLS)"), group);
    m_secure->setObjectName(QStringLiteral("tlsEnabled"));
    m_secure->setToolTip(QStringLiteral("TLS over TCP; a UDP listener speaks DTLS."));
    m_secure->setChecked(m_listener.enabled);
    m_certificate = fileField(QStringLiteral("tlsCertificate"), m_listener.certificateFile, group);
    m_key = fileField(QStringLiteral("tlsKey"), m_listener.keyFile, group);
    m_clientCertificates = new QComboBox(group);
    m_clientCertificates->setObjectName(QStringLiteral("tlsClientCertificates"));
    m_clientCertificates->addItems(
        {QStringLiteral("Not asked"), QStringLiteral("Requested"), QStringLiteral("Required")});
    m_clientCertificates->setCurrentIndex(int(m_listener.clientCertificates));
    m_ca = fileField(QStringLiteral("tlsCa"), m_listener.caFile, group);
    auto *make = new QPushButton(QStringLiteral("&Make a self-signed certificate..."), group);
    make->setObjectName(QStringLiteral("makeCertificate"));
    connect(make, &QPushButton::clicked, this, &TlsDialog::makeCertificate);
    m_made = new QLabel(group);
    m_made->setObjectName(QStringLiteral("fingerprint"));
    m_made->setWordWrap(true);
    m_made->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_made->hide();
    auto *fields = new QFormLayout(group);
    fields->addRow(m_secure);
    fields->addRow(QStringLiteral("&Certificate file:"), m_certificate);
    fields->addRow(QStringLiteral("&Key file:"), m_key);
    fields->addRow(QStringLiteral("Client certificates:"), m_clientCertificates);
    fields->addRow(QStringLiteral("C&A file:"), m_ca);
    fields->addRow(make);
    fields->addRow(m_made);
    // The listener keeps what it was opened with until it stops.
    group->setEnabled(!listening);
    if (listening)
        group->setToolTip(QStringLiteral("The listener uses this until it stops."));
    return group;
}

QWidget *TlsDialog::clientBox() {
    auto *group = new QGroupBox(QStringLiteral("Sends as a client"), this);
    m_sendSecure = new QCheckBox(QStringLiteral("Send over &TLS"), group);
    m_sendSecure->setObjectName(QStringLiteral("tlsSendEnabled"));
    m_sendSecure->setToolTip(QStringLiteral("TLS over TCP; UDP sends go over DTLS (no ALPN)."));
    m_sendSecure->setChecked(m_client.enabled);
    m_verify = new QComboBox(group);
    m_verify->setObjectName(QStringLiteral("tlsVerify"));
    m_verify->addItems({QStringLiteral("Verify the server"), QStringLiteral("Don't verify"),
                        QStringLiteral("Pin SHA-256 fingerprint")});
    m_verify->setCurrentIndex(m_client.insecure         ? DontVerify
                              : !m_client.pin.isEmpty() ? PinServer
                                                        : VerifyServer);
    m_sendCa = fileField(QStringLiteral("tlsSendCa"), m_client.caFile, group);
    m_sendCa->setPlaceholderText(QStringLiteral("the system's CAs"));
    m_pin = new QLineEdit(pinText(m_client.pin), group);
    m_pin->setObjectName(QStringLiteral("tlsPin"));
    m_pin->setPlaceholderText(QStringLiteral("AB:CD:... (64 hex digits)"));
    m_alpn = new QLineEdit(alpnText(m_client.alpn), group);
    m_alpn->setObjectName(QStringLiteral("tlsAlpn"));
    m_alpn->setPlaceholderText(QStringLiteral("none, or h2,http/1.1"));
    auto *fields = new QFormLayout(group);
    fields->addRow(m_sendSecure);
    fields->addRow(QStringLiteral("&Check:"), m_verify);
    fields->addRow(QStringLiteral("CA &file:"), m_sendCa);
    fields->addRow(QStringLiteral("&Pin:"), m_pin);
    fields->addRow(QStringLiteral("A&LPN:"), m_alpn);
    return group;
}

// Beside the settings file; the fingerprint stays readable (and selectable) for pinning.
void TlsDialog::makeCertificate() {
    const MadeCertificate made =
        makeSelfSignedCertificate(m_certificateFolder, QHostInfo::localHostName());
    m_made->show();
    if (!made.error.isEmpty()) {
        m_made->setText(made.error);
        return;
    }
    m_certificate->setText(made.certificateFile);
    m_key->setText(made.keyFile);
    m_secure->setChecked(true);
    m_made->setText(QStringLiteral("Made. SHA-256 fingerprint:\n") + made.fingerprint);
}

void TlsDialog::accept() {
    TlsOptions listener = m_listener;
    TlsOptions client = m_client;
    listener.enabled = m_secure->isChecked();
    listener.certificateFile = m_certificate->text().trimmed();
    listener.keyFile = m_key->text().trimmed();
    listener.clientCertificates = ClientCertificates(m_clientCertificates->currentIndex());
    listener.caFile = m_ca->text().trimmed();
    client.enabled = m_sendSecure->isChecked();
    client.caFile = m_sendCa->text().trimmed();
    client.insecure = m_verify->currentIndex() == DontVerify;
    client.pin.clear();
    QString problem;
    if (m_verify->currentIndex() == PinServer)
        problem = parsePin(m_pin->text(), client.pin);
    if (problem.isEmpty())
        problem = parseAlpn(m_alpn->text(), client.alpn);
    if (problem.isEmpty() && listener.enabled
        && (listener.certificateFile.isEmpty() || listener.keyFile.isEmpty()))
        problem = QStringLiteral("A secure listener needs a certificate file and its key file.");
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->show();
        return;
    }
    if (listener.keyFile != m_listener.keyFile)
        listener.keyPassphrase.clear();
    m_listener = listener;
    m_client = client;
    QDialog::accept();
}
