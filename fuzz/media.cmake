# Stream plan readers: HLS playlists, and the XML reader under the DASH manifest reader.
twk_fuzz(fuzz_hls_playlist hls_playlist_fuzz.cpp twk_media)
twk_fuzz(fuzz_mpd_manifest mpd_manifest_fuzz.cpp twk_media)
twk_fuzz(fuzz_stream_texts stream_texts_fuzz.cpp twk_stream)
