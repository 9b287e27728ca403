#include "documentation.h"

#include "platform.h"

namespace vork {

void show_documentation(std::FILE* out) {
    // The program name is fixed text: Windows users know the tool as VORK.exe.
    static constexpr const char* kLines[] = {
        "\n",
        "===============================================================================\n",
        "*                       Documentation du logiciel VORK                        *\n",
        "===============================================================================\n",
        "VORK.exe Source_FILE Adresse_de_chargement Adresse_execution Cible_FILE \n",
        "\nLes adresse sont au format hexadecimal\n",
        "exemple :VORK.exe PROGRAMME.BIN 2600 2C00 GAME.BIN\n",
        "Ajoute un heder et footer en chargent PROGRAMME.BIN. \n",
        "Le programme se chargera a l'adresse $2600 et ce lancera en $2C00 \n",
        "\nVORK.exe --list GAME.BIN : les blocs et l'adresse de lancement de GAME.BIN\n",
        "VORK.exe --onto DISK.FD PROGRAMME.BIN 2600 2C00 GAME.BIN : GAME.BIN aussi sur\n",
        "  la disquette DISK.FD (.fd ou .sap) ou la cassette MO5 DISK.K7\n",
        "VORK.exe --list DISK.FD : les fichiers de la disquette DISK.FD\n",
        "  --face 1 apres DISK.FD : la face 1 d'une disquette .fd double face\n",
    };
    for (const char* line : kLines) {
        platform::write_text(out, line);
    }
}

}  // namespace vork
