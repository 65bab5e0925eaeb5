#include "ui/main/ExtractorApp.h"

int main(int argc, char** argv) {
    vindral::ui::ExtractorApp app(argc, argv);
    return app.Run();
}
