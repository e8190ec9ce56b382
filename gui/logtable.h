#pragma once

#include "logmessagemodel.h"

class QTableView;

// What every table of log rows shares with the main one: the columns, their
// headers and widths. How a message becomes a row is LogRowMaker's.
class LogTable
{
public:
    static void setUp(LogMessageModel *model, QTableView *view);
    // The visible columns, in the order the file writer takes them.
    static QVector<int> visibleColumns(const QTableView *view);
};
