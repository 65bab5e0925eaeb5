#include <iostream>

#include "ui/main/ExtractorApp.h"

int main(int argc, char** argv) {
    // Before the application object, which needs a display.
    if (const auto status = vindral::ui::AnswerInfoOption(argc, argv, std::cout)) {
        return *status;
    }
    vindral::ui::ExtractorApp app(argc, argv);
    return app.Run();
}
