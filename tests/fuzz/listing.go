// Go's reading of ZIP archives, for the differential run.
//
//	listing read          reads archive paths from standard input, one a line,
//	                      and prints one JSON line for each: what archive/zip
//	                      lists and what each entry's data decodes to
//	listing write OUT DIR writes the files and directories below DIR into the
//	                      archive OUT with archive/zip's writer
//
// A reading is {"ok": true, "entries": [[name as hex, size, CRC-32], ...]},
// sizes and CRC-32s (of the first 64 MiB) of the decoded data (0, 0 for
// names ending in "/"); a refusal is {"ok": false, "error": "..."}. Only the
// standard library is used.
package main

import (
	"archive/zip"
	"bufio"
	"encoding/hex"
	"encoding/json"
	"fmt"
	"hash/crc32"
	"io"
	"io/fs"
	"os"
	"path/filepath"
	"strings"
)

// Past 64 MiB only the size counts, as in the run's other readings.
const large = 64 << 20

// measure counts what is written through it and sums the first 64 MiB.
type measure struct {
	size int64
	crc  uint32
}

func (m *measure) Write(chunk []byte) (int, error) {
	if m.size < large {
		head := chunk
		if int64(len(head)) > large-m.size {
			head = head[:large-m.size]
		}
		m.crc = crc32.Update(m.crc, crc32.IEEETable, head)
	}
	m.size += int64(len(chunk))
	return len(chunk), nil
}

type reading struct {
	Ok      bool     `json:"ok"`
	Error   string   `json:"error,omitempty"`
	Entries [][3]any `json:"entries,omitempty"`
}

func read(path string) reading {
	archive, err := zip.OpenReader(path)
	if err != nil {
		return reading{Error: err.Error()}
	}
	defer archive.Close()
	entries := [][3]any{}
	for _, file := range archive.File {
		name := hex.EncodeToString([]byte(file.Name))
		if strings.HasSuffix(file.Name, "/") {
			entries = append(entries, [3]any{name, 0, 0})
			continue
		}
		content, err := file.Open()
		if err != nil {
			return reading{Error: file.Name + ": " + err.Error()}
		}
		var data measure
		_, err = io.Copy(&data, content)
		content.Close()
		if err != nil {
			return reading{Error: file.Name + ": " + err.Error()}
		}
		entries = append(entries, [3]any{name, data.size, data.crc})
	}
	return reading{Ok: true, Entries: entries}
}

func write(out, root string) error {
	file, err := os.Create(out)
	if err != nil {
		return err
	}
	defer file.Close()
	archive := zip.NewWriter(file)
	err = filepath.WalkDir(root, func(path string, entry fs.DirEntry, err error) error {
		if err != nil || path == root {
			return err
		}
		name, _ := filepath.Rel(root, path)
		info, err := entry.Info()
		if err != nil {
			return err
		}
		header, err := zip.FileInfoHeader(info)
		if err != nil {
			return err
		}
		header.Name = filepath.ToSlash(name)
		if entry.IsDir() {
			header.Name += "/"
		} else {
			header.Method = zip.Deflate
		}
		target, err := archive.CreateHeader(header)
		if err != nil || !entry.Type().IsRegular() {
			if err == nil && entry.Type()&fs.ModeSymlink != 0 {
				link, _ := os.Readlink(path)
				_, err = target.Write([]byte(link))
			}
			return err
		}
		data, err := os.ReadFile(path)
		if err == nil {
			_, err = target.Write(data)
		}
		return err
	})
	if err != nil {
		return err
	}
	return archive.Close()
}

func main() {
	if len(os.Args) == 4 && os.Args[1] == "write" {
		if err := write(os.Args[2], os.Args[3]); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		return
	}
	if len(os.Args) != 2 || os.Args[1] != "read" {
		fmt.Fprintln(os.Stderr, "usage: listing read | listing write OUT DIR")
		os.Exit(2)
	}
	lines := bufio.NewScanner(os.Stdin)
	lines.Buffer(make([]byte, 1<<16), 1<<20)
	out := bufio.NewWriter(os.Stdout)
	for lines.Scan() {
		line, _ := json.Marshal(read(lines.Text()))
		out.Write(append(line, '\n'))
		out.Flush()
	}
}
