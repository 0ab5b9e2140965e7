"""The fixed prompt of the SmolLM2 benchmark and demo, and the reference continuation.

PROMPT_IDS are the token ids that the model's own tokenizer (transformers' AutoTokenizer on the
GGUF file) gives the chat-template rendering of PROMPT_TEXT as one user turn with the generation
prompt appended (the template adds its default system turn):

    <|im_start|>system\nYou are a helpful AI assistant named SmolLM, trained by Hugging Face<|im_end|>\n
    <|im_start|>user\nExplain why the sky is blue.<|im_end|>\n<|im_start|>assistant\n

They were taken once and are written here so that nothing at run time needs a tokenizer.

REFERENCE_TOKENS are the first 128 greedy tokens after that prompt from the float32 reference
(transformers' LlamaForCausalLM loading the same Q4_1 GGUF, torch 2.13.0 CPU, transformers 5.25.0).
REFERENCE_MARGINS is, per step, how far the chosen logit lies above the runner-up in that reference:
a disagreement at a step with a margin of a few thousandths could be rounding alone, one at a step
with a margin of a whole logit is a fault. Recompute both with
`python bench/reference_tokens.py --count 128`.
"""

PROMPT_TEXT = "Explain why the sky is blue."

PROMPT_IDS = [
    1, 9690, 198, 2683, 359, 253, 5356, 5646, 11173, 3365, 3511, 308, 34519, 28, 7018, 411, 407,
    19712, 8182, 2, 198, 1, 4093, 198, 36971, 1701, 260, 6376, 314, 4461, 30, 2, 198, 1, 520,
    9531, 198
]

REFERENCE_TOKENS = [
    504, 6376, 314, 4461, 30, 657, 506, 253, 4959, 1909, 281, 2092, 284, 984, 338, 553, 32525,
    701, 327, 5034, 30, 378, 7718, 314, 3100, 2232, 2408, 7156, 30, 198, 198, 504, 1205, 3323,
    314, 2724, 288, 13461, 2380, 30, 1550, 1420, 13351, 260, 3323, 28, 357, 506, 11606, 411,
    260, 19277, 284, 9648, 618, 1420, 1439, 30, 669, 1439, 314, 965, 2362, 288, 260, 2106, 28,
    837, 357, 506, 13487, 347, 2380, 30, 198, 198, 504, 1205, 3323, 314, 5181, 282, 45322, 253,
    3599, 1845, 282, 4683, 28, 564, 4170, 28, 357, 506, 5857, 288, 4461, 1420, 30, 10062, 1420,
    314, 253, 1502, 282, 14744, 5200, 338, 553, 253, 9895, 18137, 670, 550, 4683, 30, 669, 9895,
    18137, 2518, 4461, 1420, 288, 21354, 260, 1205, 3323, 540
]

REFERENCE_MARGINS = [
    4.682, 2.3, 2.07, 1.464, 0.163, 0.267, 3.555, 2.844, 1.305, 1.34, 0.271, 0.576, 0.141, 0.99,
    0.14, 0.65, 0.463, 0.051, 2.092, 2.604, 3.108, 1.434, 0.152, 0.731, 0.347, 2.701, 0.51,
    3.384, 1.72, 0.391, 6.454, 2.522, 0.235, 1.496, 1.448, 0.587, 4.486, 3.019, 0.838, 0.046,
    3.237, 2.398, 1.332, 2.186, 0.908, 0.61, 3.303, 1.197, 0.032, 1.698, 1.295, 1.116, 0.258,
    1.594, 7.925, 1.852, 0.651, 2.86, 0.375, 2.897, 1.08, 3.201, 0.166, 3.176, 4.397, 4.722,
    0.071, 0.977, 3.614, 3.575, 0.037, 2.222, 1.565, 3.591, 0.547, 10.439, 1.718, 1.174, 2.484,
    0.437, 0.557, 9.439, 0.79, 1.232, 0.733, 4.308, 11.254, 2.855, 1.783, 0.425, 0.101, 2.386,
    0.025, 2.732, 0.775, 5.836, 1.532, 3.6, 1.446, 0.106, 4.582, 0.574, 0.954, 2.218, 8.904,
    0.282, 3.76, 0.814, 0.234, 1.998, 1.675, 5.738, 2.613, 1.177, 0.806, 0.473, 0.96, 0.485,
    5.195, 0.047, 1.387, 6.442, 7.159, 0.356, 1.825, 0.329, 1.889, 0.153
]
