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
// a file can give here; the last line is for what nobody foresaw.
std::string os_reason(int err)
{
    switch (err) {
    case ENOENT: return "nie ma takiego pliku";
    case EACCES: return "brak uprawnień";
    case EPERM: return "operacja niedozwolona";
    case EISDIR: return "to jest katalog, a nie plik";
    case ENOTDIR: return "część ścieżki nie jest katalogiem";
    case ELOOP: return "za dużo poziomów dowiązań symbolicznych";
    case ENAMETOOLONG: return "za długa nazwa pliku";
    case ENOSPC: return "brak miejsca na dysku";
    case EDQUOT: return "przekroczony przydział miejsca na dysku";
    case EFBIG: return "plik byłby większy, niż pozwala limit rozmiaru pliku (ulimit -f)";
    case EOVERFLOW: return "plik jest za duży dla tego systemu";
    case EROFS: return "system plików jest tylko do odczytu";
    case EIO: return "błąd wejścia/wyjścia urządzenia";
    case ENOMEM: return "brak pamięci";
    case EMFILE:
    case ENFILE: return "za dużo otwartych plików";
    case ENXIO: return "urządzenie nie istnieje lub nie jest gotowe";
    case ENODEV: return "brak takiego urządzenia";
    case ENOMEDIUM: return "brak nośnika w napędzie";
    case EBUSY: return "zasób jest zajęty";
    case ETXTBSY: return "plik jest zajęty przez uruchomiony program";
    case EAGAIN: return "zasób chwilowo niedostępny";
    case EINTR: return "przerwane przez sygnał";
    case EINVAL: return "system plików nie obsługuje tej operacji";
    case EOPNOTSUPP: return "operacja nieobsługiwana przez system plików";
    case ENOSYS: return "operacja nieobsługiwana przez jądro systemu";
    case EXDEV: return "pliki leżą w różnych systemach plików";
    case EMLINK: return "za dużo dowiązań do pliku";
    case EEXIST: return "plik już istnieje";
    case ENOTEMPTY: return "katalog nie jest pusty";
    case EBADF: return "nieprawidłowy deskryptor pliku";
    case ESTALE: return "nieaktualny uchwyt pliku sieciowego";
    case ETIMEDOUT: return "przekroczony czas oczekiwania";
    case EUCLEAN: return "system plików wymaga naprawy";
    case EPIPE: return "zerwany potok";
    case EFAULT: return "nieprawidłowy adres";
    default: return "nieoczekiwany błąd systemowy (errno " + std::to_string(err) + ")";
    }
}
