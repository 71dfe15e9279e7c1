#include "common_dialog.h"

#include <QFileDialog>

QList<CommonDialog::FilterEntry> CommonDialog::filterEntries(const QString& filter)
{
    const QStringList parts = filter.split(u'|');
    QList<FilterEntry> entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        entries.append({parts[i], parts[i + 1]});
    return entries;
}

QStringList FileOpenDialog::nameFilters(const QString& filter)
{
    QStringList filters;
    for (const FilterEntry& entry : filterEntries(filter))
        filters.append(entry.description + QStringLiteral(" (") + entry.pattern + u')');
    return filters;
}

int FileOpenDialog::ShowOpen()
{
    QFileDialog dialog(m_parent, DialogTitle);
    // Qt's own dialog everywhere: a desktop's native open dialog may refuse a file that does
    // not exist yet, and a capture file usually does not.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(nameFilters(Filter));
    dialog.selectFile(FileName);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        FileName = dialog.selectedFiles().constFirst();
        return 0;
    }
    return CancelError ? cdlCancel : 0;
}
