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
    "Fichier modifie par un autre programme pendant la mise a jour",
    "Fichier ouvert en ecriture par un autre programme : fermez-le d'abord",
    // Reasons the run gets around rather than tells, told by their code.
    "",
    "",
    "",
    "",
    "",
};
static_assert(std::size(kReasons) == static_cast<std::size_t>(Reason::other) + 1,
              "one text for each reason");

// What is wrong with an image, in the order of disk::ImageProblem, then of disk::Problem.
constexpr const char* kImageProblems[] = {
    "", "", "", "en-tete SAP inconnu", "secteur SAP hors de sa place", "CRC de secteur faux",
    "en-tete HFE inconnu",
    "secteur SD qui ne finit pas par 256 octets $FF",
    "secteur introuvable",
    "CRC de l'en-tete du secteur faux",
    "CRC des donnees du secteur faux",
    "secteur d'une autre taille que 256 octets",
    "",
};
constexpr const char* kFaceProblems[] = {
    "",
    "valeur inconnue dans la table d'allocation",
    "premier bloc d'un fichier hors du disque",
    "chaine d'un fichier menant a un bloc libre ou reserve",
    "chaine d'un fichier qui boucle",
    "bloc partage par deux fichiers",
    "nom de fichier illisible dans le catalogue",
    "plus de 255 octets dans le dernier secteur d'un fichier",
};
static_assert(std::size(kImageProblems) == static_cast<std::size_t>(disk::ImageProblem::face) + 1,
              "one text for each problem of an image");
static_assert(std::size(kFaceProblems) == static_cast<std::size_t>(disk::Problem::last_bytes) + 1,
              "one text for each problem of a face");

// What is wrong with a tape, in the order of tape::TapeProblem.
constexpr const char* kTapeProblems[] = {
    "",
    "",
    "ni amorce ($01) ni debut de bloc (3C 5A) : pas une cassette MO5",
    "bloc hors de son ordre (nom, donnees, fin)",
    "bloc de nom trop court",
    "la cassette s'arrete au milieu d'un programme",
    "somme de controle de bloc fausse",
};
static_assert(std::size(kTapeProblems) == static_cast<std::size_t>(tape::TapeProblem::checksum) + 1,
              "one text for each problem of a tape");

}  // namespace

const char* text::tape_problem_text(const tape::TapeFault& fault) {
    return kTapeProblems[static_cast<std::size_t>(fault.problem)];
}

const char* text::image_problem_text(const disk::ImageFault& fault) {
    return fault.problem == disk::ImageProblem::face
               ? kFaceProblems[static_cast<std::size_t>(fault.face)]
               : kImageProblems[static_cast<std::size_t>(fault.problem)];
}

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
