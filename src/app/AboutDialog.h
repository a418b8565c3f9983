#ifndef ABOUTDIALOG_H
#define ABOUTDIALOG_H

#include <QDialog>
#include <QString>

namespace Ui {
class AboutDialog;
}

// Which Corvin this is and where its settings, logs and dumps are; copies that text for a
// support call and exports the diagnostics package.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

    // Where the package goes; the desktop unless set otherwise.
    void setExportPath(const QString &path);

private slots:
    void on_copyButton_clicked();
    void on_exportButton_clicked();

private:
    Ui::AboutDialog *ui;
    QString exportPath;
};

#endif // ABOUTDIALOG_H
