"""`quillfen serve`: an OpenAI-compatible HTTP server (needs the `quillfen[server]` extra).

    quillfen serve SmolLM2-135M-Instruct.Q4_1.gguf --port 8080 --parallel 4

`engine` schedules the sequences and runs the model; `app` is the HTTP side; `run` ties them to uvicorn.
"""

from quillfen.server.run import serve as serve

__all__ = ["serve"]
