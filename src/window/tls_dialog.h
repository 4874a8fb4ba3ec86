#pragma once

#include "net/tls_options.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

// "Secure (TLS)": the listener's certificate, key, client certificates and CA, a self-signed
// certificate made on request beside the settings file; and how secure sends check the server.
// OK takes the options only once they parse; otherwise the reason stays in the dialog.
class TlsDialog final : public QDialog {
    Q_OBJECT

public:
    TlsDialog(const TlsOptions &listener, const TlsOptions &client, bool listening,
              QString certificateFolder, QWidget *parent = nullptr);

    TlsOptions listenerOptions() const { return m_listener; }
    TlsOptions clientOptions() const { return m_client; }

    void accept() override;

private:
    QWidget *listenerBox(bool listening);
    QWidget *clientBox();
    QLineEdit *fileField(const QString &name, const QString &text, QWidget *parent);
    void makeCertificate();

    TlsOptions m_listener;
    TlsOptions m_client;
    QString m_certificateFolder;
    QCheckBox *m_secure = nullptr;
    QLineEdit *m_certificate = nullptr;
    QLineEdit *m_key = nullptr;
    QComboBox *m_clientCertificates = nullptr;
    QLineEdit *m_ca = nullptr;
    QLabel *m_made = nullptr;
    QCheckBox *m_sendSecure = nullptr;
    QComboBox *m_verify = nullptr;
    QLineEdit *m_sendCa = nullptr;
    QLineEdit *m_pin = nullptr;
    QLineEdit *m_alpn = nullptr;
    QLabel *m_problem = nullptr;
};
