#ifndef PROXYLOGINDIALOG_H
#define PROXYLOGINDIALOG_H

#include <QDialog>
#include <QString>

namespace Ui {
class ProxyLoginDialog;
}

// Asks the teacher for the login of the school's proxy.
class ProxyLoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProxyLoginDialog(const QString &proxy, QWidget *parent = nullptr);
    ~ProxyLoginDialog() override;

    QString user() const;
    QString password() const;

private:
    Ui::ProxyLoginDialog *ui;
};

#endif // PROXYLOGINDIALOG_H
