#ifndef LOGINWIDGET_H
#define LOGINWIDGET_H

#include <QString>
#include <QWidget>

namespace Ui {
class LoginWidget;
}

// First window: channel choice, account login and the current-lesson check.
class LoginWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LoginWidget(QWidget *parent = nullptr);
    ~LoginWidget() override;

    void getCurrentLesson();

signals:
    void login_ok();

public slots:
    void on_pushButton_clicked();
    void on_login(QString body);
    void on_login_ok();
    void on_check_lesson(QString body);
    void on_aboutButton_clicked();

private:
    // Enables the login button again and, once the message shows, puts the focus where the
    // teacher goes on: the password after a wrong one, else the button.
    void focusAfterFailure(bool wrongPassword);

    Ui::LoginWidget *ui;
};

#endif // LOGINWIDGET_H
