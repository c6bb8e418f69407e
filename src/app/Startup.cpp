#include "app/Startup.h"

#include "batch/frmMainBasic.h"

void RegisterApplicationFormats() {
    // The image formats register here once the conversion engine provides them.
}

std::unique_ptr<TfrmMainBasic> CreateApplicationMainForm() {
    return std::make_unique<TfrmMainBasic>();
}
