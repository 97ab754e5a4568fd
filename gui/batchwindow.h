#pragma once

#include <QMainWindow>

namespace batch {

QString applicationStyleSheet();

class BatchWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit BatchWindow(QWidget* parent = nullptr);
};

} // namespace batch
