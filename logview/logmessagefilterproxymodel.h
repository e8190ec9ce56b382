#pragma once

#include <QSortFilterProxyModel>

// Shows the rows whose verbosity level is at most the threshold.
//
// The threshold travels as the filter pattern, a decimal integer; an empty or
// non-numeric pattern reads as 0. A row's level is taken from the filter role
// of the verbosity column when the source answers an int there, otherwise
// from the column's display text through LOGGER::verbosityStringToInt.
class LogMessageFilterProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit LogMessageFilterProxyModel(int verbosityColumn, QObject *parent = nullptr);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    int threshold() const;

    int verbosityColumn;
    mutable QString m_cachedPattern;
    mutable int m_cachedThreshold = 0;
};
