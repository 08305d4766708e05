#pragma once
// Qt's file dialog, set up from a TFileDialogRequest.
#include <QFileDialog>

#include "UiServices.h"

// With PathMustExist it refuses, with a warning, a name whose folder does not exist, and stays open.
class TFileDialog : public QFileDialog {
public:
    TFileDialog(QWidget* Owner, const TFileDialogRequest& Request);
    void accept() override;

private:
    bool FPathMustExist;
};
