// Everything vork says, exactly as its users see it: the conversion's report,
// --list's, --onto's, the warnings and the causes. The documentation screen keeps its
// own lines (documentation.cpp).
#pragma once

#include <string>
#include <vector>

#include "disk_image.h"
#include "failure.h"
#include "tape.h"

namespace vork::text {

inline constexpr const char* kBanner[] = {
    "*********************************************\n",
    "*                 Quillanor                 *\n",
    "*-------------------------------------------*\n",
    "* Auteur .... : Zindrabel                   *\n",
    "* Version ....: 01.00.00                    *\n",
    "* Date .......: 15/03/24                    *\n",
    "*********************************************\n\n",
};
inline constexpr char kSourceEcho[] = "Fichier Source...... : %s\n";
inline constexpr char kTargetEcho[] = "Fichier Cible....... : %s\n";
inline constexpr char kLoadEcho[] = "Adr de Chargement... : $%s\n";
inline constexpr char kExecEcho[] = "Adr de Lancement.... : $%s\n";
inline constexpr char kNotOpened[] = "Erreur, fichier non ouvert %s ";
inline constexpr char kUnreadable[] = "Erreur, lecture impossible %s\n";
inline constexpr char kTooLarge[] = "Erreur, fichier trop grand %s (%d octets au plus)\n";
inline constexpr char kCodeSize[] = "Taille du code...... : %d octets\n";
inline constexpr char kImageSize[] = "Avec Header/Footer ..: %d octets\n";
inline constexpr char kBadDigit[] = "erreur dans l'ecriture hexadecimal de l'adresse\n";
inline constexpr char kNoMemory[] = "\n * ERROR MEMORY ALLOCATION *\n";
inline constexpr char kUnwritable[] = "Erreur, ecriture impossible %s\n";
// The image has the target's name, but the sync that puts it on the disk failed.
// "le binaire": "l'image" means a disk everywhere else.
inline constexpr char kNotSynced[] =
    "Erreur, %s contient le binaire, mais rien ne garantit qu'il soit sur le disque\n";
inline constexpr char kDone[] = "\nVotre Fichier binaire type dos thomson est pret \n";
// For standard error: the report itself could not be written.
inline constexpr char kReportLost[] = "Erreur, ecriture impossible (sortie standard)\n";
// For standard error: the image is written, but is likely not what was meant.
inline constexpr char kAlreadyFramed[] =
    "Attention, %s est deja un fichier binaire type dos thomson\n";
inline constexpr char kPastTheEnd[] =
    "Attention, le code depasse l'adresse $FFFF (%d octet%s de trop)\n";
// For standard error: a file this run made beside the target is still there.
inline constexpr char kLeftover[] = "Attention, le fichier %s n'a pas pu etre supprime\n";
// For standard error: an address longer than the four digits that are read.
inline constexpr char kLongAddress[] =
    "Attention, l'adresse %s a plus de quatre chiffres : $%.4s est utilisee\n";
// For standard error, after a failure's own message: the system's reason.
inline constexpr char kCause[] = "Cause : %s\n";
inline constexpr char kOtherCause[] = "Cause : erreur systeme %ld\n";
// What --version prints after the banner.
inline constexpr char kVersion[] = "vork %s\n";
// For standard error: the command line lacks what the run needs.
inline constexpr char kArgumentCount[] = "Erreur, il faut 4 arguments, %d %s\n";
inline constexpr const char* kGiven[] = {"donne", "donnes"};
inline constexpr char kListWithoutFile[] = "Erreur, --list attend le nom d'un fichier\n";

// What --list prints of a Thomson binary, labels padded with dots like the report's.
inline constexpr int kLabelWidth = 20;
inline constexpr char kListFile[] = "Fichier binaire..... : %s\n";
inline constexpr char kBlockLabel[] = "Bloc %d";
inline constexpr char kBlock[] = "%s : $%04X-$%04X, %d octet%s\n";
inline constexpr char kEmptyBlock[] = "%s : $%04X, 0 octets\n";
inline constexpr char kBlockPastFFFF[] = "%s : $%04X-$FFFF, %d octets (%d au-dela de $FFFF)\n";
inline constexpr char kListExec[] = "Adr de Lancement.... : $%04X\n";
// What is wrong with a file that is not a whole binary, and at which offset
// (counted from 0, as xxd counts).
inline constexpr char kCutInHeader[] =
    "Erreur, le fichier s'arrete dans l'en-tete du bloc %d (octet %d)\n";
// Where the file ends, then the bytes the block it ends in would take.
inline constexpr char kCutInBlock[] =
    "Erreur, le fichier s'arrete a l'octet %d, dans le bloc %d (octets %d-%d) : "
    "il manque %d octet%s\n";
inline constexpr char kNotAMarker[] =
    "Erreur, octet $%02X a l'octet %d : ni un debut de bloc ($00) ni la fin ($FF)\n";
inline constexpr char kNoFooter[] = "Erreur, le fichier s'arrete sans sa fin ($FF) (octet %d)\n";
inline constexpr char kCutInFooter[] = "Erreur, le fichier s'arrete dans sa fin ($FF) (octet %d)\n";
inline constexpr char kFooterNotZero[] =
    "Erreur, la fin ($FF) de l'octet %d n'a pas ses deux octets nuls\n";
inline constexpr char kAfterFooter[] =
    "Erreur, %d octet%s apres la fin ($FF), a partir de l'octet %d\n";

// ---- Thomson disk images and MO5 tapes: --onto and --list IMAGE.
inline constexpr char kOntoWithoutImage[] = "Erreur, --onto attend le nom d'une image de disque\n";
inline constexpr char kImageEcho[] = "Image de disque..... : %s\n";
inline constexpr char kDiskNameEcho[] = "Nom sur le disque... : %s\n";
// The same two lines for an MO5 tape.
inline constexpr char kTapeEcho[] = "Cassette............ : %s\n";
inline constexpr char kTapeNameEcho[] = "Nom sur la cassette. : %s\n";
// --face N after the image: face 1 is the second face of a two-faced .fd.
inline constexpr char kFaceEcho[] = "Face du disque...... : %s\n";
inline constexpr char kFaceWithoutNumber[] = "Erreur, --face attend 0 ou 1\n";
inline constexpr char kBadFace[] = "Erreur, face %s inconnue : --face attend 0 ou 1\n";
inline constexpr char kBadSdFace[] = "Erreur, face %s inconnue : --face attend 0, 1, 2 ou 3\n";
inline constexpr char kFaceOnlyOnFd[] =
    "Erreur, %s n'a qu'une face : seules les images .fd et .hfe en ont deux, .sd quatre\n";
inline constexpr char kOneFace[] = "Erreur, l'image %s n'a qu'une face (%d octets)\n";
inline constexpr char kNotAnImage[] =
    "Erreur, %s n'est ni une image de disque Thomson (.fd, .sap, .hfe ou .sd) ni une cassette "
    "MO5 (.k7 ou .wav)\n";
inline constexpr char kTargetLikeImage[] =
    "Erreur, la cible %s porte l'extension d'une image : elle ecraserait l'image\n";
inline constexpr char kTargetIsImage[] =
    "Erreur, la cible %s et l'image %s sont un seul et meme fichier\n";
inline constexpr char kTapeWritten[] = "Fichier %s ecrit sur la cassette %s (blocs : %d)\n";
// The sound of an MO5 tape for the cassette input: its blocks and its length in seconds.
inline constexpr char kSoundWritten[] =
    "Fichier %s ecrit en son de cassette MO5 dans %s (blocs : %d, %d s)\n";
// On a tape that holds other programs: the program's place among them.
inline constexpr char kTapeAdded[] =
    "Fichier %s ajoute a la fin de la cassette %s (blocs : %d, programme %d sur %d)\n";
inline constexpr char kTapeReplaced[] =
    "Fichier %s remplace sur la cassette %s (blocs : %d, programme %d sur %d)\n";
// The tape's name, the offset, then tape_problem_text().
inline constexpr char kTapeFault[] = "Erreur, cassette %s illisible a l'octet %d : %s\n";
inline constexpr char kTapeTooLarge[] = "Erreur, la cassette %s fait plus de %d octets\n";
inline constexpr char kTapeUntouched[] = "La cassette %s n'est pas modifiee\n";
// What --list prints of a tape after its name: a line for each program, then the count.
inline constexpr char kTapeTotal[] = "Programmes : %d\n";
inline constexpr char kBadDiskName[] =
    "Erreur, %s ne tient pas dans un nom de fichier Thomson : 8 lettres, chiffres, - ou _ "
    "au plus, puis un point et 3 au plus\n";
inline constexpr char kDiskAdded[] =
    "Fichier %s ajoute sur %s (blocs : %d utilise%s, %d libre%s)\n";
inline constexpr char kDiskReplaced[] =
    "Fichier %s remplace sur %s (blocs : %d utilise%s, %d libre%s)\n";
inline constexpr char kImageWrongSize[] =
    "Erreur, l'image %s fait %d octet%s : ce n'est pas une taille connue\n";
// The image's name, the offset, then image_problem_text().
inline constexpr char kImageFault[] = "Erreur, image %s illisible a l'octet %d : %s\n";
// The image's name, the track, side and sector of an .hfe, then image_problem_text().
inline constexpr char kSectorFault[] =
    "Erreur, image %s illisible piste %d, face %d, secteur %d : %s\n";
inline constexpr char kNoRoom[] =
    "Erreur, pas assez de place sur %s (blocs libres : %d, il en faut %d)\n";
inline constexpr char kDirectoryFull[] = "Erreur, catalogue plein sur %s (%d fichiers)\n";
inline constexpr char kUntouched[] = "L'image %s n'est pas modifiee\n";
inline constexpr char kNotRegular[] = "Erreur, %s n'est pas un fichier ordinaire\n";
// What --list prints of a disk: a line for each file, then the room left.
inline constexpr char kDiskFile[] = "%-12s %c %c %6d octet%s\n";
inline constexpr char kDiskFree[] = "Fichiers : %d, blocs libres : %d (%d octets)\n";
inline constexpr char kNoSuchFile[] = "Erreur, pas de fichier %s sur l'image %s\n";
// For standard error: a machine-code file on a whole disk that is not a
// whole binary; listed alone, it tells what is wrong.
inline constexpr char kNotABinary[] = "Attention, %s n'est pas un binaire Thomson complet\n";

// The ending of a word after the count `count` ("%d octet%s"): "s" but for one.
// The report's own size lines keep their "octets".
inline const char* plural(long count) { return count == 1 ? "" : "s"; }

// What is wrong with a tape at the offset of `fault`, for kTapeFault.
const char* tape_problem_text(const tape::TapeFault& fault);

// What is wrong with a disk image at the offset of `fault`, for kImageFault;
// empty for a wrong size, told by kImageWrongSize.
const char* image_problem_text(const disk::ImageFault& fault);

// The words of "Cause : %s" for `reason`; empty for a reason told by its
// code (kOtherCause) or not told at all.
const char* reason_text(Reason reason);

}  // namespace vork::text

namespace vork {

// Every cause the run can print after "Cause : ", in the order of vork::Reason;
// the last, "erreur systeme", is followed by the system's own number.
std::vector<std::string> cause_texts();

}  // namespace vork
