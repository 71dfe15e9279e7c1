#pragma once

#include <QList>
#include <QString>

class QWidget;

// The file dialog the capture box asks for a file through, with the members the capture
// handler sets. Showing it is virtual so that tests can give the window a scripted one.
class CommonDialog
{
public:
    // What ShowOpen returns when the operator cancels and CancelError is set.
    static constexpr int cdlCancel = 32755;

    struct FilterEntry {
        QString description;
        QString pattern;
    };

    virtual ~CommonDialog() = default;

    QString FileName;
    QString DialogTitle;
    // "description|pattern|description|pattern...", taken apart at the bars.
    QString Filter;
    bool CancelError = false;

    // Shows a modal file-open dialog and waits until the operator closes it. 0 with the
    // chosen path in FileName; cdlCancel on Cancel when CancelError is set.
    virtual int ShowOpen() = 0;

    // The entries of a Filter text, every blank kept.
    static QList<FilterEntry> filterEntries(const QString& filter);
};

// The real dialog, over QFileDialog.
class FileOpenDialog : public CommonDialog
{
public:
    explicit FileOpenDialog(QWidget* parent) : m_parent(parent) {}
    int ShowOpen() override;

    // The name filters QFileDialog is given for a Filter text.
    static QStringList nameFilters(const QString& filter);

private:
    QWidget* m_parent;
};
