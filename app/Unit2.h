#pragma once

#include "app/OkWindow.h"

class QFrame;
class QLabel;

namespace quindle {

// The About window: program name, version and release date. Created hidden with the main
// window and kept for every showing.
class TForm2 : public OkWindow {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
};

} // namespace quindle
