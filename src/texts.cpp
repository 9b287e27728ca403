#include "texts.h"

#include <cstring>
#include <iterator>

namespace vork {

namespace {

// The system's reasons, in the order of vork::Reason.
constexpr const char* kReasons[] = {
    "",
    "Permission refusee",
    "Aucun fichier ou dossier de ce nom",
    "Un element du chemin n'est pas un dossier",
    "C'est un dossier",
    "Trop de liens symboliques",
    "Nom trop long",
    "Disque plein",
    "Quota de disque depasse",
    "Systeme de fichiers en lecture seule",
    "Limite de taille de fichier atteinte",
    "Trop de fichiers ouverts",
    "Erreur d'entree-sortie",
    "Fichier verrouille par un autre programme",
    "Fichier utilise par un autre programme",
    "Fichier projete en memoire par un autre programme",
    "Plus personne ne lit",
    "Aucun peripherique ni lecteur au bout",
    "Sortie fermee",
    "Memoire insuffisante",
    "Fichier deplace ou supprime pendant l'ecriture",
    "Le systeme de fichiers a garde une autre taille",
    "C'est le fichier de la sortie standard",
    // Reasons the run gets around rather than tells, told by their code.
    "",
    "",
    "",
    "",
    "",
};
static_assert(std::size(kReasons) == static_cast<std::size_t>(Reason::other) + 1,
              "one text for each reason");

}  // namespace

const char* text::reason_text(Reason reason) { return kReasons[static_cast<std::size_t>(reason)]; }

std::vector<std::string> cause_texts() {
    std::vector<std::string> texts;
    for (const char* reason : kReasons) {
        if (*reason != '\0') {
            texts.emplace_back(reason);
        }
    }
    const std::string other = text::kOtherCause;
    const std::size_t start = std::strlen("Cause : ");
    texts.push_back(other.substr(start, other.find(" %ld") - start));
    return texts;
}

}  // namespace vork
