/* The floor for the benchmark: what DEFLATE at level 6 and its inverse cost
 * on a tree's files with the very libraries quastor links, on N threads,
 * with no archive around them.
 *
 *   quastor_floor deflate THREADS TREE [OUTPUT]
 *       walks TREE (one fstatat per entry, as any archiver needs for the
 *       metadata), then on THREADS threads reads every regular file,
 *       deflates it at level 6 as an independent shard (files under 64
 *       bytes are kept as they are, as quastor keeps them) and takes its
 *       CRC-32; with OUTPUT, the shards are written into that one file.
 *   quastor_floor pack TREE SHARDS
 *       (preparation, not timed by the benchmark) writes TREE's directories
 *       and its regular files deflated at level 6 into SHARDS.
 *   quastor_floor inflate THREADS SHARDS [DIRECTORY] [--isal]
 *       maps SHARDS, then on THREADS threads inflates every shard and takes
 *       its CRC-32, checking it; with DIRECTORY, the directories are made
 *       and each file is written there. --isal inflates with ISA-L in place
 *       of libdeflate.
 *
 * deflate and inflate print "call_seconds S" last: the time from before the
 * walk (or the opening of SHARDS) to the last byte, for comparing with the
 * time quastor reports for its call. Largest files go first, the best order
 * for a fixed set of shards on few threads. Symbolic links and other
 * non-regular files are left out. */

#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define SHARDS_MAGIC "quastor-floor-1\n"

static void die(const char *what, const char *name)
{
    fprintf(stderr, "quastor_floor: %s %s: %s\n", what, name ? name : "", strerror(errno));
    exit(1);
}

static void *grow(void *p, size_t size)
{
    void *q = realloc(p, size ? size : 1);
    if (!q) {
        fputs("quastor_floor: out of memory\n", stderr);
        exit(1);
    }
    return q;
}

/* The buffer `p` grown to hold at least `size` bytes, as its capacity says. */
static void *fit(void *p, size_t *capacity, size_t size)
{
    if (size <= *capacity)
        return p;
    *capacity = size;
    return grow(p, size);
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The tree: directories by relative path (the root is ""), files by
 * directory and name. */
struct file {
    uint32_t directory;
    uint32_t name_length;
    const char *name;
    uint64_t size;       /* uncompressed */
    uint64_t compressed; /* inflate: the shard's length */
    uint64_t offset;     /* inflate: where the shard starts in SHARDS */
    uint32_t crc;
};

struct tree {
    char **directories;
    int *directory_fds; /* deflate: held open for openat */
    size_t directory_count, directory_capacity;
    struct file *files;
    size_t file_count, file_capacity;
};

static uint32_t add_directory(struct tree *t, char *path, int fd)
{
    if (t->directory_count == t->directory_capacity) {
        t->directory_capacity = t->directory_capacity ? 2 * t->directory_capacity : 64;
        t->directories = grow(t->directories, t->directory_capacity * sizeof *t->directories);
        t->directory_fds = grow(t->directory_fds, t->directory_capacity * sizeof *t->directory_fds);
    }
    t->directories[t->directory_count] = path;
    t->directory_fds[t->directory_count] = fd;
    return (uint32_t)t->directory_count++;
}

static struct file *add_file(struct tree *t)
{
    if (t->file_count == t->file_capacity) {
        t->file_capacity = t->file_capacity ? 2 * t->file_capacity : 1024;
        t->files = grow(t->files, t->file_capacity * sizeof *t->files);
    }
    struct file *f = &t->files[t->file_count++];
    memset(f, 0, sizeof *f);
    return f;
}

/* Breadth first, so that a directory always comes before its contents. */
static void walk(struct tree *t, const char *root)
{
    int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open", root);
    add_directory(t, strdup(""), fd);
    for (size_t d = 0; d < t->directory_count; d++) {
        int dup_fd = dup(t->directory_fds[d]);
        DIR *dir = fdopendir(dup_fd);
        if (!dir)
            die("cannot read", t->directories[d]);
        struct dirent *e;
        while ((e = readdir(dir))) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
                continue;
            struct stat st;
            if (fstatat(t->directory_fds[d], e->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0)
                die("cannot stat", e->d_name);
            if (S_ISDIR(st.st_mode)) {
                const char *parent = t->directories[d];
                size_t length = strlen(parent) + strlen(e->d_name) + 2;
                char *path = grow(NULL, length);
                snprintf(path, length, "%s%s%s", parent, *parent ? "/" : "", e->d_name);
                int child = openat(t->directory_fds[d], e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (child < 0)
                    die("cannot open", path);
                add_directory(t, path, child);
            } else if (S_ISREG(st.st_mode)) {
                struct file *f = add_file(t);
                f->directory = (uint32_t)d;
                f->name = strdup(e->d_name);
                f->name_length = (uint32_t)strlen(f->name);
                f->size = (uint64_t)st.st_size;
            }
        }
        closedir(dir);
    }
}

static int larger_first(const void *a, const void *b)
{
    const struct file *x = a, *y = b;
    return x->size < y->size ? 1 : x->size > y->size ? -1 : 0;
}

/* Reads the whole of a file whose size the walk saw. */
static size_t read_file(int directory, const char *name, unsigned char **buffer, size_t *capacity, uint64_t size)
{
    int fd = openat(directory, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open", name);
    *buffer = fit(*buffer, capacity, size);
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, *buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("cannot read", name);
        if (n == 0)
            break;
        done += (size_t)n;
    }
    close(fd);
    return done;
}

static void write_all(int fd, const void *data, size_t size, off_t offset, const char *name)
{
    const unsigned char *p = data;
    while (size) {
        ssize_t n = offset >= 0 ? pwrite(fd, p, size, offset) : write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("cannot write", name);
        p += n;
        size -= (size_t)n;
        if (offset >= 0)
            offset += n;
    }
}

/* The next file for a worker, taken from the counter every worker of a
 * job shares; NULL once all are taken. */
static struct file *take_file(struct tree *tree, atomic_size_t *next)
{
    size_t i = atomic_fetch_add(next, 1);
    return i < tree->file_count ? &tree->files[i] : NULL;
}

/* ---- deflate ---- */

struct deflate_job {
    struct tree *tree;
    atomic_size_t next;
    int output; /* -1: write nothing */
    atomic_uint_fast64_t output_end;
    atomic_uint_fast64_t compressed_total;
};

/* Shards gather in a thread's batch and go out in one write, as an
 * archive writer would send them, not one system call per tiny file. */
#define BATCH (1u << 20)

/* Files shorter than this are kept stored without a try, as quastor's
 * writer keeps them: DEFLATE's block header alone eats what it could save. */
#define MIN_DEFLATE_LENGTH 64

static void flush_batch(struct deflate_job *job, const unsigned char *data, size_t size)
{
    if (size == 0 || job->output < 0)
        return;
    uint64_t at = atomic_fetch_add(&job->output_end, size);
    write_all(job->output, data, size, (off_t)at, "the output");
}

static void *deflate_worker(void *argument)
{
    struct deflate_job *job = argument;
    struct libdeflate_compressor *compressor = libdeflate_alloc_compressor(6);
    if (!compressor) {
        fputs("quastor_floor: no compressor\n", stderr);
        exit(1);
    }
    unsigned char *in = NULL, *out = NULL;
    size_t in_capacity = 0, out_capacity = 0;
    unsigned char *batch = job->output >= 0 ? grow(NULL, BATCH) : NULL;
    size_t batched = 0;
    uint64_t total = 0;
    for (struct file *f; (f = take_file(job->tree, &job->next));) {
        size_t size = read_file(job->tree->directory_fds[f->directory], f->name, &in, &in_capacity, f->size);
        f->crc = libdeflate_crc32(0, in, size);
        size_t compressed = 0;
        if (size >= MIN_DEFLATE_LENGTH) {
            out = fit(out, &out_capacity, libdeflate_deflate_compress_bound(compressor, size));
            compressed = libdeflate_deflate_compress(compressor, in, size, out, out_capacity);
        }
        /* What a ZIP writer keeps: the shard, or the bytes stored when
         * DEFLATE does not make them smaller. */
        const unsigned char *kept = compressed && compressed < size ? out : in;
        size_t kept_size = compressed && compressed < size ? compressed : size;
        total += kept_size;
        if (job->output >= 0) {
            if (batched + kept_size > BATCH) {
                flush_batch(job, batch, batched);
                batched = 0;
            }
            if (kept_size > BATCH) {
                flush_batch(job, kept, kept_size);
            } else {
                memcpy(batch + batched, kept, kept_size);
                batched += kept_size;
            }
        }
    }
    flush_batch(job, batch, batched);
    atomic_fetch_add(&job->compressed_total, total);
    free(batch);
    free(in);
    free(out);
    libdeflate_free_compressor(compressor);
    return NULL;
}

static void run_threads(int threads, void *(*worker)(void *), void *job)
{
    pthread_t *ids = grow(NULL, (size_t)threads * sizeof *ids);
    for (int i = 0; i < threads; i++)
        if (pthread_create(&ids[i], NULL, worker, job) != 0) {
            fputs("quastor_floor: cannot start a thread\n", stderr);
            exit(1);
        }
    for (int i = 0; i < threads; i++)
        pthread_join(ids[i], NULL);
    free(ids);
}

static int deflate_command(int threads, const char *root, const char *output)
{
    double start = now();
    struct tree tree = {0};
    walk(&tree, root);
    qsort(tree.files, tree.file_count, sizeof *tree.files, larger_first);
    struct deflate_job job = {.tree = &tree, .output = -1};
    if (output) {
        job.output = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (job.output < 0)
            die("cannot create", output);
    }
    run_threads(threads, deflate_worker, &job);
    if (output && close(job.output) < 0)
        die("cannot close", output);
    double seconds = now() - start;
    printf("files %zu directories %zu compressed %llu\n", tree.file_count, tree.directory_count,
           (unsigned long long)atomic_load(&job.compressed_total));
    printf("call_seconds %.6f\n", seconds);
    return 0;
}

/* ---- pack ----
 * SHARDS: the magic, then the counts of directories and files (u64 each),
 * then each directory as u32 length + path, then each file as u32
 * directory, u32 name length, u64 size, u64 shard length, u32 CRC-32, name;
 * then the shards, one after another in the files' order. */

static void put(FILE *out, const void *data, size_t size)
{
    if (fwrite(data, 1, size, out) != size)
        die("cannot write", "the shards");
}

static int pack_command(const char *root, const char *shards)
{
    struct tree tree = {0};
    walk(&tree, root);
    qsort(tree.files, tree.file_count, sizeof *tree.files, larger_first);
    struct libdeflate_compressor *compressor = libdeflate_alloc_compressor(6);
    unsigned char *in = NULL, *out = NULL;
    size_t in_capacity = 0;
    unsigned char **blobs = grow(NULL, tree.file_count * sizeof *blobs);
    for (size_t i = 0; i < tree.file_count; i++) {
        struct file *f = &tree.files[i];
        size_t size = read_file(tree.directory_fds[f->directory], f->name, &in, &in_capacity, f->size);
        f->size = size;
        f->crc = libdeflate_crc32(0, in, size);
        size_t bound = libdeflate_deflate_compress_bound(compressor, size);
        out = grow(NULL, bound);
        f->compressed = libdeflate_deflate_compress(compressor, in, size, out, bound);
        blobs[i] = out;
    }
    FILE *file = fopen(shards, "wb");
    if (!file)
        die("cannot create", shards);
    put(file, SHARDS_MAGIC, strlen(SHARDS_MAGIC));
    uint64_t counts[2] = {tree.directory_count, tree.file_count};
    put(file, counts, sizeof counts);
    for (size_t d = 0; d < tree.directory_count; d++) {
        uint32_t length = (uint32_t)strlen(tree.directories[d]);
        put(file, &length, sizeof length);
        put(file, tree.directories[d], length);
    }
    for (size_t i = 0; i < tree.file_count; i++) {
        struct file *f = &tree.files[i];
        put(file, &f->directory, 4);
        put(file, &f->name_length, 4);
        put(file, &f->size, 8);
        put(file, &f->compressed, 8);
        put(file, &f->crc, 4);
        put(file, f->name, f->name_length);
    }
    for (size_t i = 0; i < tree.file_count; i++)
        put(file, blobs[i], tree.files[i].compressed);
    if (fclose(file) != 0)
        die("cannot close", shards);
    printf("files %zu directories %zu\n", tree.file_count, tree.directory_count);
    return 0;
}

/* ---- inflate ---- */

struct inflate_job {
    struct tree *tree;
    const unsigned char *base;
    atomic_size_t next;
    int write;
    int isal;
};

static void *inflate_worker(void *argument)
{
    struct inflate_job *job = argument;
    struct libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
    struct inflate_state *isal = job->isal ? malloc(sizeof *isal) : NULL;
    if (!decompressor || (job->isal && !isal)) {
        fputs("quastor_floor: no decompressor\n", stderr);
        exit(1);
    }
    unsigned char *out = NULL;
    size_t capacity = 0;
    for (struct file *f; (f = take_file(job->tree, &job->next));) {
        out = fit(out, &capacity, f->size);
        const unsigned char *in = job->base + f->offset;
        int good;
        if (isal) {
            isal_inflate_init(isal);
            isal->next_in = (uint8_t *)in;
            isal->avail_in = (uint32_t)f->compressed;
            isal->next_out = out;
            isal->avail_out = (uint32_t)f->size;
            good = isal_inflate_stateless(isal) == ISAL_DECOMP_OK && isal->avail_out == 0;
        } else {
            good = libdeflate_deflate_decompress(decompressor, in, f->compressed, out, f->size, NULL) ==
                   LIBDEFLATE_SUCCESS;
        }
        if (!good || libdeflate_crc32(0, out, f->size) != f->crc) {
            fprintf(stderr, "quastor_floor: shard %s does not inflate to its bytes\n", f->name);
            exit(1);
        }
        if (job->write) {
            int fd = openat(job->tree->directory_fds[f->directory], f->name,
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                die("cannot create", f->name);
            write_all(fd, out, f->size, -1, f->name);
            if (close(fd) < 0)
                die("cannot close", f->name);
        }
    }
    free(out);
    free(isal);
    libdeflate_free_decompressor(decompressor);
    return NULL;
}

static const unsigned char *take(const unsigned char **p, const unsigned char *end, size_t size)
{
    if ((size_t)(end - *p) < size) {
        fputs("quastor_floor: the shards file is cut short\n", stderr);
        exit(1);
    }
    const unsigned char *at = *p;
    *p += size;
    return at;
}

static uint64_t take_u64(const unsigned char **p, const unsigned char *end)
{
    uint64_t v;
    memcpy(&v, take(p, end, 8), 8);
    return v;
}

static uint32_t take_u32(const unsigned char **p, const unsigned char *end)
{
    uint32_t v;
    memcpy(&v, take(p, end, 4), 4);
    return v;
}

static int inflate_command(int threads, const char *shards, const char *directory, int use_isal)
{
    double start = now();
    int fd = open(shards, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0)
        die("cannot open", shards);
    const unsigned char *base = mmap(NULL, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (base == MAP_FAILED)
        die("cannot map", shards);
    close(fd);
    const unsigned char *p = base, *end = base + st.st_size;
    if (memcmp(take(&p, end, strlen(SHARDS_MAGIC)), SHARDS_MAGIC, strlen(SHARDS_MAGIC)) != 0) {
        fprintf(stderr, "quastor_floor: %s is no shards file\n", shards);
        return 1;
    }
    struct tree tree = {0};
    uint64_t directories = take_u64(&p, end), files = take_u64(&p, end);
    int root = -1;
    if (directory) {
        if (mkdir(directory, 0755) < 0 && errno != EEXIST)
            die("cannot make", directory);
        root = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root < 0)
            die("cannot open", directory);
    }
    for (uint64_t d = 0; d < directories; d++) {
        uint32_t length = take_u32(&p, end);
        char *path = strndup((const char *)take(&p, end, length), length);
        int held = root;
        if (directory && d > 0) {
            /* Parents come first, so each is made beside the ones before it. */
            if (mkdirat(root, path, 0755) < 0 && errno != EEXIST)
                die("cannot make", path);
            held = openat(root, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (held < 0)
                die("cannot open", path);
        }
        add_directory(&tree, path, held);
    }
    for (uint64_t i = 0; i < files; i++) {
        struct file *f = add_file(&tree);
        f->directory = take_u32(&p, end);
        f->name_length = take_u32(&p, end);
        f->size = take_u64(&p, end);
        f->compressed = take_u64(&p, end);
        f->crc = take_u32(&p, end);
        f->name = strndup((const char *)take(&p, end, f->name_length), f->name_length);
        if (f->directory >= directories) {
            fputs("quastor_floor: a file names no directory\n", stderr);
            return 1;
        }
    }
    uint64_t offset = (uint64_t)(p - base);
    for (size_t i = 0; i < tree.file_count; i++) {
        tree.files[i].offset = offset;
        offset += tree.files[i].compressed;
    }
    if (offset > (uint64_t)st.st_size) {
        fputs("quastor_floor: the shards file is cut short\n", stderr);
        return 1;
    }
    struct inflate_job job = {.tree = &tree, .base = base, .write = directory != NULL, .isal = use_isal};
    run_threads(threads, inflate_worker, &job);
    double seconds = now() - start;
    printf("files %zu directories %zu\n", tree.file_count, tree.directory_count);
    printf("call_seconds %.6f\n", seconds);
    return 0;
}

static int usage(void)
{
    fputs("usage: quastor_floor deflate THREADS TREE [OUTPUT]\n"
          "       quastor_floor pack TREE SHARDS\n"
          "       quastor_floor inflate THREADS SHARDS [DIRECTORY] [--isal]\n",
          stderr);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && !strcmp(argv[1], "pack") && argc == 4)
        return pack_command(argv[2], argv[3]);
    if (argc < 4)
        return usage();
    int threads = atoi(argv[2]);
    if (threads < 1)
        return usage();
    if (!strcmp(argv[1], "deflate") && argc <= 5)
        return deflate_command(threads, argv[3], argc == 5 ? argv[4] : NULL);
    if (!strcmp(argv[1], "inflate")) {
        int use_isal = !strcmp(argv[argc - 1], "--isal");
        int rest = argc - use_isal;
        if (rest <= 5)
            return inflate_command(threads, argv[3], rest == 5 ? argv[4] : NULL, use_isal);
    }
    return usage();
}
