#include "error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

[[noreturn]] void fail(const std::string& name, const std::string& what)
{
    throw ripple_error(name + ": " + what);
}

void require(bool ok, const char* rule)
{
    if (ok)
        return;
    std::fprintf(stderr, "ripple: błąd programu: nie zachowano zasady „%s”\n", rule);
    std::abort();
}

// Every errno that opening, mapping, reserving, writing, linking or renaming
// a file can give here, each name guarded where some system lacks it; the
// last lines are for what nobody foresaw.
std::string os_reason(int err)
{
    switch (err) {
    case ENOENT: return "nie ma takiego pliku";
    case EACCES: return "brak uprawnień";
    case EPERM: return "operacja niedozwolona";
    case EISDIR: return "to jest katalog, a nie plik";
    case ENOTDIR: return "część ścieżki nie jest katalogiem";
#ifdef ELOOP
    case ELOOP: return "za dużo poziomów dowiązań symbolicznych";
#endif
    case ENAMETOOLONG: return "za długa nazwa pliku";
    case ENOSPC: return "brak miejsca na dysku";
#ifdef EDQUOT
    case EDQUOT: return "przekroczony przydział miejsca na dysku";
#endif
    case EFBIG: return "plik byłby większy, niż pozwala limit rozmiaru pliku (ulimit -f)";
#ifdef EOVERFLOW
    case EOVERFLOW: return "plik jest za duży dla tego systemu";
#endif
    case EROFS: return "system plików jest tylko do odczytu";
    case EIO: return "błąd wejścia/wyjścia urządzenia";
    case ENOMEM: return "brak pamięci";
    case EMFILE:
    case ENFILE: return "za dużo otwartych plików";
#ifdef ENXIO
    case ENXIO: return "urządzenie nie istnieje lub nie jest gotowe";
#endif
#ifdef ENODEV
    case ENODEV: return "brak takiego urządzenia";
#endif
#ifdef ENOMEDIUM
    case ENOMEDIUM: return "brak nośnika w napędzie";
#endif
#ifdef EBUSY
    case EBUSY: return "zasób jest zajęty";
#endif
#ifdef ETXTBSY
    case ETXTBSY: return "plik jest zajęty przez uruchomiony program";
#endif
#ifdef EAGAIN
    case EAGAIN: return "zasób chwilowo niedostępny";
#endif
#ifdef EINTR
    case EINTR: return "przerwane przez sygnał";
#endif
    case EINVAL: return "system plików nie obsługuje tej operacji";
#ifdef EOPNOTSUPP
    case EOPNOTSUPP: return "operacja nieobsługiwana przez system plików";
#endif
#ifdef ENOSYS
    case ENOSYS: return "operacja nieobsługiwana przez jądro systemu";
#endif
#ifdef EXDEV
    case EXDEV: return "pliki leżą w różnych systemach plików";
#endif
#ifdef EMLINK
    case EMLINK: return "za dużo dowiązań do pliku";
#endif
#ifdef EEXIST
    case EEXIST: return "plik już istnieje";
#endif
#ifdef ENOTEMPTY
    case ENOTEMPTY: return "katalog nie jest pusty";
#endif
#ifdef EBADF
    case EBADF: return "nieprawidłowy deskryptor pliku";
#endif
#ifdef ESTALE
    case ESTALE: return "nieaktualny uchwyt pliku sieciowego";
#endif
#ifdef ETIMEDOUT
    case ETIMEDOUT: return "przekroczony czas oczekiwania";
#endif
#ifdef EUCLEAN
    case EUCLEAN: return "system plików wymaga naprawy";
#endif
#ifdef EPIPE
    case EPIPE: return "zerwany potok";
#endif
#ifdef EFAULT
    case EFAULT: return "nieprawidłowy adres";
#endif
    default:
        // Windows errors with no errno value come negated, with their code.
        if (err < 0)
            return "nieoczekiwany błąd systemu Windows (kod " + std::to_string(-err) + ")";
        return "nieoczekiwany błąd systemowy (errno " + std::to_string(err) + ")";
    }
}
