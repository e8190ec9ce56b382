#include "logmessagefilterproxymodel.h"

#include "loggerverbosity.h"

LogMessageFilterProxyModel::LogMessageFilterProxyModel(int verbosityColumn, QObject *parent)
    : QSortFilterProxyModel(parent)
    , verbosityColumn(verbosityColumn)
{
}

bool LogMessageFilterProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (sourceParent.isValid())
        return true;
    const QModelIndex cell = sourceModel()->index(sourceRow, verbosityColumn, sourceParent);
    const QVariant fast = cell.data(filterRole());
    const int level = fast.userType() == QMetaType::Int
        ? fast.toInt()
        : LOGGER::verbosityStringToInt(cell.data(Qt::DisplayRole).toString());
    return level <= threshold();
}

int LogMessageFilterProxyModel::threshold() const
{
    // Called once per row: read the pattern back only when it changed.
    const QString pattern = filterRegExp().pattern();
    if (pattern != m_cachedPattern) {
        m_cachedPattern = pattern;
        m_cachedThreshold = pattern.toInt();
    }
    return m_cachedThreshold;
}
