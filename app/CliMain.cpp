// quillon-cli: the same command line as quillon without the window face, linked without any
// toolkit, for build servers and CI machines. It shares quillon's language file.

#include "app/QuillonApp.h"

namespace
{
class CQuillonCliApp : public CQuillonApp
{
public:
    CQuillonCliApp(int argc, char** argv)
        : CQuillonApp(argv[0], std::vector<std::string>(argv + 1, argv + argc))
    {
    }

protected:
    bool HasWindows() const override { return false; }
    std::string LanguageFileName() const override { return "quillon"; }

    // Without windows every mode runs on the console, so start-up never asks for these.
    int RunMainWindow() override { return EXIT_SOFTWARE; }
    int RunWizardWindow(const CCustomCommandLineInfo&, const CWizardOptions&) override
    {
        return EXIT_SOFTWARE;
    }
};
} // namespace

int main(int argc, char** argv)
{
    return RunQuillonProgram([&] { return std::make_unique<CQuillonCliApp>(argc, argv); });
}
