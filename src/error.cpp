#include "error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "text.hpp"

ripple_error::ripple_error(const std::string& name, const std::string& what, int err)
    : message_(shown_name(name) + ": " + what), err_(err)
{
    if (err != 0)
        message_ += (what.empty() ? "" : ": ") + os_reason(err);
}

[[noreturn]] void fail(const std::string& name, const std::string& what, int err) { throw ripple_error(name, what, err); }

void require(bool ok, const char* rule)
{
    if (ok)
        return;
    std::fprintf(stderr, "ripple: błąd programu: nie zachowano zasady „%s”\n", rule);
    std::abort();
}

namespace {

struct reason {
    int err;
    const char* text;
};

// The errno values that opening, looking at, mapping, reading, reserving,
// writing, syncing, linking or renaming a file can give here, on the
// systems we know, each name guarded where some system lacks it; anything
// else keeps its number.
const reason reasons[] = {
    {ENOENT, "nie ma takiego pliku"},
    {EACCES, "brak uprawnień"},
    {EPERM, "operacja niedozwolona"},
    {EISDIR, "to jest katalog, a nie plik"},
    {ENOTDIR, "część ścieżki nie jest katalogiem"},
#ifdef ELOOP
    {ELOOP, "za dużo poziomów dowiązań symbolicznych"},
#endif
    {ENAMETOOLONG, "za długa nazwa pliku"},
    {ENOSPC, "brak miejsca na dysku"},
#ifdef EDQUOT
    {EDQUOT, "przekroczony przydział miejsca na dysku"},
#endif
    {EFBIG, "plik byłby większy, niż pozwala limit rozmiaru pliku (ulimit -f)"},
#ifdef EOVERFLOW
    {EOVERFLOW, "plik jest za duży dla tego systemu"},
#endif
    {EROFS, "system plików jest tylko do odczytu"},
    {EIO, "błąd wejścia/wyjścia urządzenia"},
    {ENOMEM, "brak pamięci"},
    {EMFILE, "za dużo otwartych plików"},
    {ENFILE, "za dużo otwartych plików"},
#ifdef ENXIO
    {ENXIO, "urządzenie nie istnieje lub nie jest gotowe"},
#endif
#ifdef ENODEV
    {ENODEV, "brak takiego urządzenia"},
#endif
#ifdef ENOMEDIUM
    {ENOMEDIUM, "brak nośnika w napędzie"},
#endif
#ifdef EBUSY
    {EBUSY, "plik jest używany przez inny program"},
#endif
#ifdef ETXTBSY
    {ETXTBSY, "plik jest zajęty przez uruchomiony program"},
#endif
#ifdef EAGAIN
    {EAGAIN, "zasób chwilowo niedostępny"},
#endif
#ifdef EINTR
    {EINTR, "przerwane przez sygnał"},
#endif
    {EINVAL, "system plików nie obsługuje tej operacji"},
#ifdef EOPNOTSUPP
    {EOPNOTSUPP, "operacja nieobsługiwana przez system plików"},
#endif
#ifdef ENOSYS
    {ENOSYS, "operacja nieobsługiwana przez jądro systemu"},
#endif
#ifdef EXDEV
    {EXDEV, "pliki leżą w różnych systemach plików"},
#endif
#ifdef EMLINK
    {EMLINK, "za dużo dowiązań do pliku"},
#endif
#ifdef EEXIST
    {EEXIST, "plik już istnieje"},
#endif
#ifdef ENOTEMPTY
    {ENOTEMPTY, "katalog nie jest pusty"},
#endif
#ifdef EBADF
    {EBADF, "nieprawidłowy deskryptor pliku"},
#endif
#ifdef ESTALE
    {ESTALE, "nieaktualny uchwyt pliku sieciowego"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, "przekroczony czas oczekiwania"},
#endif
#ifdef EUCLEAN
    {EUCLEAN, "system plików wymaga naprawy"},
#endif
#ifdef EPIPE
    {EPIPE, "zerwany potok"},
#endif
#ifdef EFAULT
    {EFAULT, "nieprawidłowy adres"},
#endif
#ifdef ENOTCONN
    {ENOTCONN, "system plików nie jest już połączony (np. zakończył się proces montowania FUSE)"},
#endif
#ifdef EREMOTEIO
    {EREMOTEIO, "błąd wejścia/wyjścia zdalnego systemu plików"},
#endif
#ifdef ESPIPE
    {ESPIPE, "w tym pliku nie można zmieniać pozycji"},
#endif
#ifdef _WIN32
    // ERROR_INVALID_NAME, which no errno value stands for, negated as below.
    {-123, "Windows nie dopuszcza takiej nazwy pliku (znaki : * ? \" < > | są w nazwach zabronione)"},
#endif
};

}  // namespace

std::string os_reason(int err)
{
    for (const reason& r : reasons)
        if (r.err == err)
            return r.text;
    // What nobody foresaw keeps its number; Windows errors with no errno
    // value come negated.
    if (err < 0)
        return "nieoczekiwany błąd systemu Windows (kod " + std::to_string(-err) + ")";
    return "nieoczekiwany błąd systemowy (errno " + std::to_string(err) + ")";
}
