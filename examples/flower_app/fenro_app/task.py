"""The model and the data: a small MLP classifying a synthetic four-class problem. Each
partition draws its own samples (from a seed of its partition id), with a skew towards two
of the classes, so that the clients are not identically distributed."""

import numpy as np
import torch
from torch import nn

FEATURES, CLASSES = 16, 4
_CENTRES = np.random.default_rng(1234).normal(scale=1.2, size=(CLASSES, FEATURES))


class Net(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.fc1 = nn.Linear(FEATURES, 32)
        self.fc2 = nn.Linear(32, CLASSES)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.fc2(torch.relu(self.fc1(x)))


def load_data(partition: int, samples: int = 256) -> tuple[torch.Tensor, torch.Tensor]:
    """The partition's samples; partition -1 is the server's held-out test set."""
    rng = np.random.default_rng(10_000 + partition)
    if partition < 0:
        labels = rng.integers(0, CLASSES, size=samples)
    else:
        favoured = [partition % CLASSES, (partition + 1) % CLASSES]
        p = np.full(CLASSES, 0.1)
        p[favoured] += (1.0 - p.sum()) / 2
        labels = rng.choice(CLASSES, size=samples, p=p)
    x = _CENTRES[labels] + rng.normal(size=(samples, FEATURES))
    return torch.tensor(x, dtype=torch.float32), torch.tensor(labels)


def train(net: Net, x: torch.Tensor, y: torch.Tensor, epochs: int, lr: float) -> float:
    opt = torch.optim.SGD(net.parameters(), lr=lr)
    loss_fn = nn.CrossEntropyLoss()
    net.train()
    total = 0.0
    for _ in range(epochs):
        for i in range(0, len(x), 32):
            opt.zero_grad()
            loss = loss_fn(net(x[i:i + 32]), y[i:i + 32])
            loss.backward()
            opt.step()
            total += loss.item()
    return total / (epochs * ((len(x) + 31) // 32))


def accuracy(net: Net, x: torch.Tensor, y: torch.Tensor) -> tuple[float, float]:
    net.eval()
    with torch.no_grad():
        out = net(x)
        return float(nn.functional.cross_entropy(out, y)), float((out.argmax(1) == y).float().mean())
