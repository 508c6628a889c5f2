#include "command_line.hpp"

#include <vector>

#include "text.hpp"

const char* const usage_text =
    "Użycie: ripple [PIERWSZY DRUGI [WYNIK]]\n"
    "Łączy dwa 24-bitowe obrazy BMP koncentrycznym, falistym przenikaniem wokół\n"
    "środka, o którego współrzędne x i y pyta na standardowym wejściu.\n"
    "\n"
    "  PIERWSZY   pierwszy obraz; wyznacza wymiary i nagłówek wyniku (domyślnie Input_1.bmp)\n"
    "  DRUGI      drugi obraz, co najmniej tak duży jak pierwszy (domyślnie Input_2.bmp)\n"
    "  WYNIK      plik wynikowy (domyślnie Output.bmp)\n"
    "  --help     pokazuje ten opis i kończy działanie\n"
    "  --version  pokazuje wersję i kończy działanie\n"
    "\n"
    "Przykład: echo 320 240 | ripple zdjecie.bmp tekstura.bmp wynik.bmp\n"
    "Kod wyjścia: 0, gdy wynik zapisano; 1 przy błędzie; 2 przy złym wywołaniu.\n";

namespace {

command_line only(command_line::action what, std::string problem = "")
{
    command_line c;
    c.what = what;
    c.problem = std::move(problem);
    return c;
}

command_line usage_error(const std::string& problem)
{
    return only(command_line::action::usage_error, "ripple: " + problem + "; zobacz „ripple --help”");
}

}  // namespace

command_line parse_command_line(std::span<const std::string_view> args)
{
    std::vector<std::string_view> files;
    bool options = true;
    for (std::string_view a : args) {
        if (options && a == "--")
            options = false;
        else if (options && a == "--help")
            return only(command_line::action::help);
        else if (options && a == "--version")
            return only(command_line::action::version);
        else if (options && a.size() > 1 && a[0] == '-')
            return usage_error("nieznana opcja „" + shown_text(a) + "”");
        else
            files.push_back(a);
    }
    if (files.size() == 1 || files.size() > 3)
        return usage_error("zła liczba nazw plików: " + std::to_string(files.size()) +
                           ", a potrzeba dwóch (obu obrazów) albo trzech (z wynikiem)");
    command_line c;
    if (files.size() >= 2) {
        c.input1 = files[0];
        c.input2 = files[1];
    }
    if (files.size() == 3)
        c.output = files[2];
    return c;
}
