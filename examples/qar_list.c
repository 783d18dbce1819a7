/* Lists an archive and writes one record to standard output:
 *   qar_list ARCHIVE [PASSWORD [NAME]]                                    */
#include <stdio.h>
#include <qar/qar.h>

int main(int argc, char** argv) {
    qar_archive* archive = NULL;
    qar_error error;
    void* data = NULL;
    size_t position = 0, size = 0;
    if (argc < 2) return fprintf(stderr, "usage: qar_list ARCHIVE [PASSWORD [NAME]]\n"), 2;
    if (qar_open(argv[1], QAR_READ, argc > 2 ? argv[2] : NULL, &archive, &error) != QAR_OK)
        return fprintf(stderr, "%s\n", error.message), 1;
    for (size_t i = 0; i < qar_count(archive); ++i) {
        qar_entry entry;
        qar_entry_at(archive, i, &entry, NULL);
        printf("%-16s %10u %10u %lld\n", entry.name, entry.size, entry.stored_size,
               (long long)entry.mtime);
    }
    if (argc > 3 && (qar_find(archive, argv[3], &position, &error) != QAR_OK ||
                     qar_read_alloc(archive, position, &data, &size, &error) != QAR_OK)) {
        fprintf(stderr, "%s\n", error.message);
        qar_close(archive, NULL);
        return 1;
    }
    if (data != NULL) fwrite(data, 1, size, stdout);
    qar_free(data);
    return qar_close(archive, NULL) == QAR_OK ? 0 : 1;
}
